// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/UserDefaults.h"

#include "tests/support/QtPrinters.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <algorithm>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

class UserDefaultsTest : public ::testing::Test {
protected:
    QString path() const { return m_dir.filePath(QStringLiteral("quilvane/defaults.json")); }

    static bool writeRaw(const QString& file, const QByteArray& contents) {
        QFile out(file);
        return out.open(QIODevice::WriteOnly) && out.write(contents) == contents.size();
    }

    void writeRaw(const QByteArray& contents) {
        QDir().mkpath(QFileInfo(path()).absolutePath());
        QFile file(path());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(contents);
    }

    QJsonObject readBack() const {
        QFile file(path());
        EXPECT_TRUE(file.open(QIODevice::ReadOnly));
        return QJsonDocument::fromJson(file.readAll()).object();
    }

    QStringList corruptCopies() const {
        return QDir(QFileInfo(path()).absolutePath())
            .entryList({QStringLiteral("defaults.json.corrupt-*")}, QDir::Files);
    }

    QTemporaryDir m_dir;
};

TEST_F(UserDefaultsTest, RegisteredDefaultsAnswerUntilAValueIsStored) {
    UserDefaults defaults(path());
    defaults.registerDefaults({{QStringLiteral("enableFirewall"), true}});
    EXPECT_TRUE(defaults.boolForKey(QStringLiteral("enableFirewall")));
    EXPECT_FALSE(defaults.boolForKey(QStringLiteral("firstRunCompleted")));
    EXPECT_FALSE(QFile::exists(path())) << "reading must not create the file";

    defaults.setBool(false, QStringLiteral("enableFirewall"));
    EXPECT_FALSE(defaults.boolForKey(QStringLiteral("enableFirewall")));
    ASSERT_TRUE(defaults.synchronize());
    EXPECT_EQ(readBack().value(QStringLiteral("enableFirewall")), QJsonValue(false));
    EXPECT_FALSE(readBack().contains(QStringLiteral("firstRunCompleted")))
        << "registered values are not stored";
}

TEST_F(UserDefaultsTest, StringListsAreStoredAsJsonArraysAndSurviveAReload) {
    const QStringList list{QStringLiteral("/usr/bin/curl"), QStringLiteral("Safari"), QStringLiteral("Café")};
    UserDefaults(path()).setValue(QVariant(list), QStringLiteral("blacklist"));

    EXPECT_EQ(readBack().value(QStringLiteral("blacklist")).toArray(), QJsonArray::fromStringList(list));
    EXPECT_EQ(UserDefaults(path()).arrayForKey(QStringLiteral("blacklist")), list);

    UserDefaults(path()).setValue(QVariant(QStringList{QStringLiteral("one")}), QStringLiteral("single"));
    EXPECT_TRUE(readBack().value(QStringLiteral("single")).isArray()) << "an array of one stays an array";
}

TEST_F(UserDefaultsTest, ArrayForKeyAnswersOnlyForArraysOfStrings) {
    writeRaw(R"({"text": "/usr/bin/curl", "mixed": ["a", 1], "empty": [], "nested": [["a"]]})");
    UserDefaults defaults(path());
    EXPECT_EQ(defaults.arrayForKey(QStringLiteral("text")), std::nullopt);
    EXPECT_EQ(defaults.arrayForKey(QStringLiteral("mixed")), std::nullopt);
    EXPECT_EQ(defaults.arrayForKey(QStringLiteral("nested")), std::nullopt);
    EXPECT_EQ(defaults.arrayForKey(QStringLiteral("missing")), std::nullopt);
    EXPECT_EQ(defaults.arrayForKey(QStringLiteral("empty")), QStringList());
    EXPECT_EQ(defaults.objectForKey(QStringLiteral("text")).toString(), QStringLiteral("/usr/bin/curl"));
}

TEST_F(UserDefaultsTest, BoolForKeyReadsNumbersAndYesNoTexts) {
    writeRaw(R"({"one": 1, "zero": 0, "yes": "YES", "no": "no", "list": ["x"]})");
    UserDefaults defaults(path());
    EXPECT_TRUE(defaults.boolForKey(QStringLiteral("one")));
    EXPECT_FALSE(defaults.boolForKey(QStringLiteral("zero")));
    EXPECT_TRUE(defaults.boolForKey(QStringLiteral("yes")));
    EXPECT_FALSE(defaults.boolForKey(QStringLiteral("no")));
    EXPECT_FALSE(defaults.boolForKey(QStringLiteral("list")));
}

TEST_F(UserDefaultsTest, ValuesItDoesNotUnderstandAreKeptOnRewrite) {
    writeRaw(R"({"number": 2.5, "object": {"a": [1, 2]}, "keep": "me"})");
    UserDefaults(path()).setBool(true, QStringLiteral("firstRunCompleted"));
    const QJsonObject stored = readBack();
    EXPECT_EQ(stored.value(QStringLiteral("number")).toDouble(), 2.5);
    EXPECT_EQ(stored.value(QStringLiteral("object")).toObject().value(QStringLiteral("a")).toArray().size(),
              2);
    EXPECT_EQ(stored.value(QStringLiteral("keep")).toString(), QStringLiteral("me"));
}

TEST_F(UserDefaultsTest, SettingAnInvalidValueRemovesTheKey) {
    UserDefaults defaults(path());
    defaults.registerDefaults({{QStringLiteral("enableFirewall"), true}});
    defaults.setBool(false, QStringLiteral("enableFirewall"));
    defaults.setValue(QVariant(), QStringLiteral("enableFirewall"));
    EXPECT_TRUE(defaults.boolForKey(QStringLiteral("enableFirewall")));
    ASSERT_TRUE(defaults.synchronize());
    EXPECT_FALSE(readBack().contains(QStringLiteral("enableFirewall")));
}

TEST_F(UserDefaultsTest, ValueChangedIsEmittedAfterTheValueIsVisible) {
    UserDefaults defaults(path());
    bool seen = true;
    QObject::connect(&defaults, &UserDefaults::valueChanged, &defaults,
                     [&](const QString& key) { seen = defaults.boolForKey(key); });
    QSignalSpy spy(&defaults, &UserDefaults::valueChanged);
    defaults.setBool(false, QStringLiteral("enableFirewall"));
    ASSERT_EQ(spy.count(), 1);
    EXPECT_EQ(spy.at(0).at(0).toString(), QStringLiteral("enableFirewall"));
    EXPECT_FALSE(seen);
}

TEST_F(UserDefaultsTest, CorruptFileIsMovedAsideReportedOnceAndNeverOverwritten) {
    const QByteArray garbage = "{\"blacklist\": [\"/usr/bin/curl\", ";
    writeRaw(garbage);

    ::testing::internal::CaptureStderr();
    UserDefaults defaults(path());
    const std::string errors = ::testing::internal::GetCapturedStderr();

    defaults.registerDefaults({{QStringLiteral("enableFirewall"), true}});
    EXPECT_TRUE(defaults.boolForKey(QStringLiteral("enableFirewall")));
    EXPECT_EQ(defaults.arrayForKey(QStringLiteral("blacklist")), std::nullopt);

    const QStringList copies = corruptCopies();
    ASSERT_EQ(copies.size(), 1);
    EXPECT_NE(errors.find(copies.first().toStdString()), std::string::npos) << errors;
    EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 1) << errors;

    defaults.setBool(false, QStringLiteral("enableFirewall"));
    ASSERT_TRUE(defaults.synchronize());
    QFile copy(QFileInfo(path()).absolutePath() + QLatin1Char('/') + copies.first());
    ASSERT_TRUE(copy.open(QIODevice::ReadOnly));
    EXPECT_EQ(copy.readAll(), garbage) << "the bad file is kept byte for byte";
    EXPECT_EQ(readBack().value(QStringLiteral("enableFirewall")), QJsonValue(false));
}

TEST_F(UserDefaultsTest, JsonThatIsNotAnObjectCountsAsCorrupt) {
    writeRaw(R"(["/usr/bin/curl"])");
    ::testing::internal::CaptureStderr();
    UserDefaults defaults(path());
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("not a JSON object"), std::string::npos);
    EXPECT_EQ(corruptCopies().size(), 1);
    EXPECT_FALSE(QFile::exists(path()));
}

TEST_F(UserDefaultsTest, TwoCorruptFilesInARowAreBothKept) {
    for (int round = 0; round < 2; ++round) {
        writeRaw("not json");
        ::testing::internal::CaptureStderr();
        UserDefaults defaults(path());
        ::testing::internal::GetCapturedStderr();
    }
    EXPECT_EQ(corruptCopies().size(), 2);
}

TEST_F(UserDefaultsTest, ConcurrentWritersLoseNoKey) {
    UserDefaults defaults(path());
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([&defaults, t] {
            for (int i = 0; i < 10; ++i) {
                defaults.setBool(true, QStringLiteral("key-%1-%2").arg(t).arg(i));
            }
        });
    }
    for (std::thread& writer : writers) {
        writer.join();
    }
    ASSERT_TRUE(defaults.synchronize());
    EXPECT_EQ(readBack().size(), 40);
}

TEST_F(UserDefaultsTest, RapidChangesAllReachTheFileBySynchronizeOrDestruction) {
    {
        UserDefaults defaults(path());
        for (int i = 0; i < 200; ++i) {
            defaults.setValue(QVariant(QStringList{QString::number(i)}), QStringLiteral("last"));
        }
        EXPECT_EQ(defaults.arrayForKey(QStringLiteral("last")), QStringList{QStringLiteral("199")});
        ASSERT_TRUE(defaults.synchronize());
        EXPECT_EQ(readBack().value(QStringLiteral("last")).toArray(), QJsonArray{QStringLiteral("199")});
        defaults.setBool(true, QStringLiteral("atTheEnd"));
    }
    EXPECT_EQ(readBack().value(QStringLiteral("atTheEnd")), QJsonValue(true))
        << "destruction waits for the write";
}

TEST_F(UserDefaultsTest, FailedWriteIsReportedBySynchronize) {
    // A plain file where the settings folder should be: even root cannot write below it.
    const QString blocked = m_dir.filePath(QStringLiteral("not-a-folder"));
    ASSERT_TRUE(writeRaw(blocked, "x"));
    UserDefaults defaults(blocked + QStringLiteral("/defaults.json"));
    ::testing::internal::CaptureStderr();
    defaults.setBool(true, QStringLiteral("enableFirewall"));
    EXPECT_FALSE(defaults.synchronize());
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("cannot create the folder"), std::string::npos);
    EXPECT_TRUE(defaults.boolForKey(QStringLiteral("enableFirewall"))) << "the value is still held in memory";
}

TEST_F(UserDefaultsTest, UnreadableFileIsMovedAsideAndNeverWrittenOver) {
    ASSERT_TRUE(QDir().mkpath(path())); // a folder where the file should be
    ::testing::internal::CaptureStderr();
    UserDefaults defaults(path());
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("cannot be read"), std::string::npos);
    EXPECT_EQ(defaults.loadReport().state, UserDefaults::LoadState::damaged);
    defaults.setBool(true, QStringLiteral("enableFirewall"));
    EXPECT_TRUE(defaults.synchronize());
    EXPECT_TRUE(QFileInfo(path()).isFile());
    EXPECT_TRUE(QFileInfo(defaults.loadReport().damagedCopy).isDir()) << "what could not be read is kept";
}

TEST_F(UserDefaultsTest, AWriteReplacesTheFileWholeAndLeavesTheOldOneToItsReaders) {
    UserDefaults defaults(path());
    defaults.setValue(QStringList{QStringLiteral("first")}, QStringLiteral("blacklist"));
    ASSERT_TRUE(defaults.synchronize());
    const QByteArray before = [&] {
        QFile file(path());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }();
    // A reader that opened the file before the write: a file written in place would change under it.
    const int reader = ::open(QFile::encodeName(path()).constData(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    struct stat old {};
    ASSERT_EQ(::fstat(reader, &old), 0);

    defaults.setValue(QStringList{QStringLiteral("second")}, QStringLiteral("blacklist"));
    ASSERT_TRUE(defaults.synchronize());

    struct stat now {};
    ASSERT_EQ(::stat(QFile::encodeName(path()).constData(), &now), 0);
    EXPECT_NE(now.st_ino, old.st_ino) << "the new settings are a new file renamed into place";
    QByteArray seen(before.size() + 64, '\0');
    const ssize_t got = ::pread(reader, seen.data(), static_cast<size_t>(seen.size()), 0);
    ::close(reader);
    seen.resize(std::max<qsizetype>(got, 0));
    EXPECT_EQ(seen, before);
}

TEST_F(UserDefaultsTest, EveryWriteLeavesASoundBackupBesideTheFile) {
    UserDefaults defaults(path());
    defaults.setValue(QVariant(QStringList{QStringLiteral("/usr/bin/curl")}), QStringLiteral("blacklist"));
    ASSERT_TRUE(defaults.synchronize());
    QFile file(path());
    QFile backup(defaults.backupPath());
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    ASSERT_TRUE(backup.open(QIODevice::ReadOnly));
    EXPECT_EQ(backup.readAll(), file.readAll());
}

TEST(UserDefaultsStandardTest, LivesUnderTheConfigFolderAndIsReReadAfterReset) {
    const QString expected = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
                             QStringLiteral("/quilvane/defaults.json");
    EXPECT_TRUE(expected.startsWith(qEnvironmentVariable("XDG_CONFIG_HOME")));
    EXPECT_EQ(UserDefaults::standard().filePath(), expected);
    EXPECT_EQ(&UserDefaults::standard(), &UserDefaults::standard());

    UserDefaults(expected).setValue(QVariant(QStringList{QStringLiteral("Safari")}), QStringLiteral("probe"));
    UserDefaults::resetStandard();
    EXPECT_EQ(UserDefaults::standard().arrayForKey(QStringLiteral("probe")),
              QStringList{QStringLiteral("Safari")});
    UserDefaults::standard().setValue(QVariant(), QStringLiteral("probe"));
}

} // namespace
