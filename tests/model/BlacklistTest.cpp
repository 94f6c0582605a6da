// SPDX-License-Identifier: GPL-3.0-or-later
#include "model/Blacklist.h"

#include "model/BlockedApp.h"
#include "platform/UserDefaults.h"
#include "tests/platform/PackageFixtures.h"
#include "tests/support/QtPrinters.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace PackageFixtures;

namespace {

// Records every call with the subscriber's tag, so that order across subscribers can be checked.
class RecordingSubscriber final : public BlacklistSubscriber {
public:
    RecordingSubscriber(std::string tag, std::vector<std::string>& log)
        : m_tag(std::move(tag))
        , m_log(log) {}
    void appBlocked(const AppPtr& app) override { record("blocked", app); }
    void appUnblocked(const AppPtr& app) override { record("unblocked", app); }
    void blacklistLoaded(const QList<AppPtr>& apps) override {
        m_log.push_back(m_tag + " loaded " + std::to_string(apps.size()));
    }

    std::vector<AppPtr> received;

private:
    void record(const char* what, const AppPtr& app) {
        received.push_back(app);
        m_log.push_back(m_tag + ' ' + what + ' ' + app->identifier().toStdString());
    }

    std::string m_tag;
    std::vector<std::string>& m_log;
};

class BlacklistTest : public ::testing::Test {
protected:
    void SetUp() override {
        QFile::remove(UserDefaults::standard().filePath());
        UserDefaults::resetStandard();
        Blacklist::resetShared();
    }
    void TearDown() override { SetUp(); }

    // Puts `value` under "blacklist" in the settings file, as an earlier run would have left it.
    void storeRaw(const QJsonValue& value) {
        const QString path = UserDefaults::standard().filePath();
        QJsonObject object;
        object.insert(QStringLiteral("blacklist"), value);
        ASSERT_TRUE(writeFile(path, QJsonDocument(object).toJson()));
        UserDefaults::resetStandard();
    }

    QJsonValue storedOnDisk() const {
        UserDefaults::standard().synchronize();
        QFile file(UserDefaults::standard().filePath());
        if (!file.open(QIODevice::ReadOnly)) {
            return QJsonValue::Undefined;
        }
        return QJsonDocument::fromJson(file.readAll()).object().value(QStringLiteral("blacklist"));
    }

    QString program(const QString& name) const {
        const QString path = m_dir.filePath(name);
        EXPECT_TRUE(QFile::exists(path) || copyProgram(path));
        return path;
    }

    QTemporaryDir m_dir;
};

TEST_F(BlacklistTest, LoadingPrunesDeletedPathsAndWritesThePrunedListBack) {
    const QString kept = program(QStringLiteral("kept"));
    const QString bundle = makeBundle(m_dir.path(), QStringLiteral("Kept App"), QStringLiteral("keeper"));
    const QString gone = m_dir.filePath(QStringLiteral("Deleted.app"));
    storeRaw(QJsonArray{gone, kept, QStringLiteral("Safari"), bundle, QString()});

    Blacklist list(QStringLiteral("blacklist"));
    EXPECT_EQ(list.identifiers(), (QStringList{kept, QStringLiteral("Safari"), bundle, QString()}));
    EXPECT_EQ(list.executables(), (QStringList{QStringLiteral("kept"), QStringLiteral("Safari"),
                                               QStringLiteral("keeper"), QString()}));
    EXPECT_EQ(storedOnDisk().toArray(), QJsonArray::fromStringList(list.identifiers()));
}

TEST_F(BlacklistTest, DesktopEntryWhoseProgramIsNotOnThisPathIsKeptAndShownAsNotFound) {
    // The program lives in a folder this start's PATH lacks, as when a launcher starts the
    // application with a shorter PATH than the shell that blocked the entry had.
    ASSERT_TRUE(copyProgram(m_dir.filePath(QStringLiteral("elsewhere/handy-tool"))));
    const QString entry = makeDesktopEntry(m_dir.filePath(QStringLiteral("handy.desktop")),
                                           "Type=Application\nName=Handy\nExec=handy-tool %U\n");
    storeRaw(QJsonArray{entry, QStringLiteral("Safari")});

    Blacklist list(QStringLiteral("blacklist"));
    EXPECT_EQ(list.identifiers(), (QStringList{entry, QStringLiteral("Safari")}));
    EXPECT_EQ(list.executables(), (QStringList{QStringLiteral("handy-tool"), QStringLiteral("Safari")}));
    EXPECT_EQ(storedOnDisk().toArray(), (QJsonArray{entry, QStringLiteral("Safari")}));
    ASSERT_FALSE(list.apps().isEmpty());
    EXPECT_EQ(list.apps().first()->name(), QStringLiteral("Handy"));
    EXPECT_TRUE(BlockedApp(list.apps().first()).info().endsWith(QStringLiteral("(program not found)")));
}

TEST_F(BlacklistTest, LongListLoadedAcrossThreadsKeepsEveryEntry) {
    // Past two threads' worth, with one entry over an even split: a slice rounded down would
    // leave the last entry unresolved, drop it and write the shortened list back.
    QStringList stored;
    for (int i = 0; i < 4'001; ++i) {
        stored.append(QStringLiteral("app-%1").arg(i));
    }
    storeRaw(QJsonArray::fromStringList(stored));

    Blacklist list(QStringLiteral("blacklist"));
    EXPECT_EQ(list.identifiers().size(), stored.size());
    EXPECT_EQ(list.identifiers(), stored);
    EXPECT_EQ(storedOnDisk().toVariant().toStringList(), stored);
}

TEST_F(BlacklistTest, OnlyEntryDeletedLeavesAnEmptyStoredArray) {
    storeRaw(QJsonArray{m_dir.filePath(QStringLiteral("Gone.app"))});
    Blacklist list(QStringLiteral("blacklist"));
    EXPECT_TRUE(list.apps().isEmpty());
    EXPECT_EQ(storedOnDisk(), QJsonValue(QJsonArray()));
}

TEST_F(BlacklistTest, StoredValueThatIsNoArrayOfTextsIsLeftAlone) {
    for (const QJsonValue& stored : {QJsonValue(QStringLiteral("/usr/bin/curl")),
                                     QJsonValue(QJsonArray{QStringLiteral("Safari"), 3}), QJsonValue(true)}) {
        storeRaw(stored);
        Blacklist list(QStringLiteral("blacklist"));
        EXPECT_TRUE(list.apps().isEmpty());
        EXPECT_EQ(storedOnDisk(), stored) << "untouched until the next change";

        list.block(App::initWithIdentifier(QStringLiteral("Mail")));
        EXPECT_EQ(storedOnDisk(), QJsonValue(QJsonArray{QStringLiteral("Mail")}));
    }
}

TEST_F(BlacklistTest, NothingStoredWritesNothing) {
    Blacklist list(QStringLiteral("blacklist"));
    EXPECT_TRUE(list.apps().isEmpty());
    EXPECT_FALSE(QFile::exists(UserDefaults::standard().filePath()));
}

TEST_F(BlacklistTest, DuplicatesLoadTwiceAndOneUnblockRemovesTheFirstOnly) {
    const QString path = program(QStringLiteral("twice"));
    storeRaw(QJsonArray{path, QStringLiteral("Safari"), path});
    Blacklist list(QStringLiteral("blacklist"));
    ASSERT_EQ(list.apps().size(), 3);

    list.unblock(App::initWithPath(path));
    EXPECT_EQ(list.identifiers(), (QStringList{QStringLiteral("Safari"), path}));
    EXPECT_EQ(storedOnDisk().toArray(), (QJsonArray{QStringLiteral("Safari"), path}));
}

TEST_F(BlacklistTest, BlockingTwiceKeepsTheFirstEntryAndTellsSubscribersBothTimes) {
    std::vector<std::string> log;
    auto first = std::make_shared<RecordingSubscriber>("first", log);
    auto second = std::make_shared<RecordingSubscriber>("second", log);
    Blacklist list(QStringLiteral("blacklist"));
    list.addSubscriber(first);
    list.addSubscriber(second);

    const QString path = program(QStringLiteral("netcat"));
    const AppPtr fromPanel = App::initWithPath(path);
    const AppPtr fromMonitor = App::initWithIdentifier(path);
    list.block(fromPanel);
    list.block(fromMonitor);

    ASSERT_EQ(list.apps().size(), 1);
    EXPECT_EQ(list.apps().first(), fromPanel);
    EXPECT_EQ(first->received, (std::vector<AppPtr>{fromPanel, fromMonitor}));
    const std::string id = path.toStdString();
    EXPECT_EQ(log, (std::vector<std::string>{"first blocked " + id, "second blocked " + id,
                                             "first blocked " + id, "second blocked " + id}));
    EXPECT_EQ(storedOnDisk().toArray(), QJsonArray{path});
}

TEST_F(BlacklistTest, UnblockingAnUnlistedAppPrintsTheWarningAndStillNotifies) {
    std::vector<std::string> log;
    Blacklist list(QStringLiteral("blacklist"));
    list.block(App::initWithIdentifier(QStringLiteral("Mail")));
    const auto subscriber = std::make_shared<RecordingSubscriber>("s", log);
    list.addSubscriber(subscriber);
    list.addSubscriber(subscriber);
    const QJsonValue before = storedOnDisk();

    ::testing::internal::CaptureStdout();
    list.unblock(App::initWithIdentifier(QStringLiteral("Safari")));
    const std::string printed = ::testing::internal::GetCapturedStdout();

    EXPECT_EQ(printed, "Warning: tried to remove Safari even though it wasn't blacklisted\n");
    EXPECT_EQ(list.identifiers(), QStringList{QStringLiteral("Mail")});
    EXPECT_EQ(storedOnDisk(), before);
    EXPECT_EQ(log, (std::vector<std::string>{"s unblocked Safari", "s unblocked Safari"}))
        << "added twice, called twice";
}

TEST_F(BlacklistTest, BareAppAndPathAppSharingAnExecutableAreSeparateEntries) {
    const QString path = program(QStringLiteral("curl"));
    Blacklist list(QStringLiteral("blacklist"));
    list.block(App::initWithIdentifier(QStringLiteral("curl")));
    list.block(App::initWithPath(path));
    EXPECT_EQ(list.executables(), (QStringList{QStringLiteral("curl"), QStringLiteral("curl")}));

    ::testing::internal::CaptureStdout();
    list.unblock(App::initWithIdentifier(QStringLiteral("curl")));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(list.identifiers(), QStringList{path});
}

TEST_F(BlacklistTest, ComposedAndDecomposedSpellingsAreOneEntry) {
    Blacklist list(QStringLiteral("blacklist"));
    list.block(App::initWithIdentifier(QStringLiteral("Caf\u00e9")));
    list.block(App::initWithIdentifier(QStringLiteral("Cafe\u0301")));
    ASSERT_EQ(list.apps().size(), 1);

    ::testing::internal::CaptureStdout();
    list.unblock(App::initWithIdentifier(QStringLiteral("Cafe\u0301")));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(list.apps().isEmpty());
}

TEST_F(BlacklistTest, NewBlocksAreAppendedInOrderAndSurviveARestart) {
    Blacklist list(QStringLiteral("blacklist"));
    for (const char* name : {"zeta", "alpha", "mid"}) {
        list.block(App::initWithIdentifier(QLatin1String(name)));
    }
    UserDefaults::resetStandard();
    Blacklist reloaded(QStringLiteral("blacklist"));
    EXPECT_EQ(reloaded.identifiers(),
              (QStringList{QStringLiteral("zeta"), QStringLiteral("alpha"), QStringLiteral("mid")}));
}

TEST_F(BlacklistTest, SharedInstanceUsesTheBlacklistKeyAndLoadsOnFirstUse) {
    storeRaw(QJsonArray{QStringLiteral("Safari")});
    Blacklist& shared = Blacklist::shared();
    EXPECT_EQ(&shared, &Blacklist::shared());
    EXPECT_EQ(shared.userDefaultsKey(), QStringLiteral("blacklist"));
    EXPECT_EQ(shared.identifiers(), QStringList{QStringLiteral("Safari")});
}

TEST_F(BlacklistTest, ListsUnderOtherKeysStayApart) {
    Blacklist list(QStringLiteral("blacklist"));
    Blacklist other(QStringLiteral("otherList"));
    other.block(App::initWithIdentifier(QStringLiteral("Mail")));
    EXPECT_TRUE(list.apps().isEmpty());
    EXPECT_EQ(UserDefaults::standard().arrayForKey(QStringLiteral("otherList")),
              QStringList{QStringLiteral("Mail")});
    EXPECT_EQ(storedOnDisk(), QJsonValue(QJsonValue::Undefined));
}

} // namespace
