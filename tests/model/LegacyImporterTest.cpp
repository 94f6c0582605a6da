// SPDX-License-Identifier: GPL-3.0-or-later
#include "model/LegacyImporter.h"

#include "model/Blacklist.h"
#include "platform/UserDefaults.h"
#include "tests/platform/PackageFixtures.h"
#include "tests/support/TestEnvironment.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

class LegacyImporterTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_data.isValid());
        ASSERT_TRUE(m_apps.isValid());
        QFile::remove(UserDefaults::standard().filePath());
        UserDefaults::resetStandard();
        Blacklist::resetShared();
        m_bundle = PackageFixtures::makeBundle(m_apps.path(), QStringLiteral("Mail"), QStringLiteral("mail"));
        m_executable = m_apps.path() + QStringLiteral("/bin/fetcher");
        ASSERT_TRUE(PackageFixtures::copyProgram(m_executable));
    }

    QString legacyFile() const { return m_data.path() + QStringLiteral("/blacklist"); }

    void writeLegacyFile(const QByteArray& contents) const {
        ASSERT_TRUE(PackageFixtures::writeFile(legacyFile(), contents));
    }

    std::optional<QStringList> read() const { return LegacyImporter(m_data.path()).readBlacklist(); }

    QTemporaryDir m_data;
    QTemporaryDir m_apps;
    QString m_bundle;
    QString m_executable;
};

TEST_F(LegacyImporterTest, DefaultDirectoryIsQuilvaneInTheDataFolder) {
    EXPECT_EQ(LegacyImporter::defaultDirectory(),
              TestEnvironment::homePath() + QStringLiteral("/.local/share/Quilvane"));
}

TEST_F(LegacyImporterTest, ImportsBundleAndExecutableSkippingEmptyAndMissingLines) {
    const QByteArray contents = m_bundle.toUtf8() + "\n\n  \t" + m_executable.toUtf8() + "  \n" +
                                m_apps.path().toUtf8() + "/Missing.app\n";
    writeLegacyFile(contents);

    LegacyImporter(m_data.path()).importBlacklist();

    EXPECT_EQ(Blacklist::shared().identifiers(), QStringList({m_bundle, m_executable}));
    // Stored, not only held in memory.
    EXPECT_EQ(UserDefaults::standard().arrayForKey(QStringLiteral("blacklist")),
              QStringList({m_bundle, m_executable}));
    // The old file is left exactly as it was.
    QFile file(legacyFile());
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), contents);
}

TEST_F(LegacyImporterTest, RepeatedAndAlreadyBlockedPathsAddNothing) {
    Blacklist::shared().block(App::initWithPath(m_executable));
    writeLegacyFile(m_bundle.toUtf8() + "\n" + m_executable.toUtf8() + "\n" + m_bundle.toUtf8() + "\n");

    LegacyImporter(m_data.path()).importBlacklist();

    EXPECT_EQ(Blacklist::shared().identifiers(), QStringList({m_executable, m_bundle}));
}

TEST_F(LegacyImporterTest, LineEndingsAndBlanks) {
    writeLegacyFile("/a\r\n/b\r\n");
    EXPECT_EQ(read(), QStringList({QStringLiteral("/a"), QStringLiteral("/b")}));
    writeLegacyFile("/a\n/b\n");
    EXPECT_EQ(read(), QStringList({QStringLiteral("/a"), QStringLiteral("/b")}));

    // Every line and paragraph separator ends a line; spaces of every kind and tabs are trimmed, but
    // a zero-width space (a format character, not a space) is part of the path.
    writeLegacyFile(
        QStringLiteral("\u00a0/a\u3000\u0085/b\u2028/c\u2029/d\v/e\f/f\r/g\t\n\u200b/h").toUtf8());
    EXPECT_EQ(read(), QStringList({QStringLiteral("/a"), QStringLiteral("/b"), QStringLiteral("/c"),
                                   QStringLiteral("/d"), QStringLiteral("/e"), QStringLiteral("/f"),
                                   QStringLiteral("/g"), QStringLiteral("\u200b/h")}));

    // A byte-order mark is not part of the first path.
    writeLegacyFile("\xef\xbb\xbf/a\n");
    EXPECT_EQ(read(), QStringList({QStringLiteral("/a")}));

    writeLegacyFile("\n \t\r\n");
    EXPECT_EQ(read(), QStringList());
}

TEST_F(LegacyImporterTest, UnreadableFilesImportNothing) {
    EXPECT_EQ(read(), std::nullopt) << "no file";
    EXPECT_EQ(LegacyImporter(m_data.path() + QStringLiteral("/absent")).readBlacklist(), std::nullopt)
        << "no folder";

    writeLegacyFile(m_bundle.toUtf8() + "\n/caf\xe9\n");
    EXPECT_EQ(read(), std::nullopt) << "Latin-1, not UTF-8";
    writeLegacyFile(m_bundle.toUtf8() + "\n/caf\xc3");
    EXPECT_EQ(read(), std::nullopt) << "a sequence cut off at the end";
    LegacyImporter(m_data.path()).importBlacklist();
    EXPECT_TRUE(Blacklist::shared().apps().isEmpty());

    ASSERT_TRUE(QFile::remove(legacyFile()));
    ASSERT_TRUE(QDir(m_data.path()).mkdir(QStringLiteral("blacklist")));
    EXPECT_EQ(read(), std::nullopt) << "a folder";
}

TEST_F(LegacyImporterTest, HugeFileImportsNothing) {
    writeLegacyFile(m_bundle.toUtf8() + "\n");
    QFile file(legacyFile());
    // Sparse: the size is what counts, not the disk it takes.
    ASSERT_TRUE(file.resize(LegacyImporter::maximumFileSize + 1));
    EXPECT_EQ(read(), std::nullopt);

    // At the cap the file is still read: the padding is one more (odd) line after the bundle.
    ASSERT_TRUE(file.resize(LegacyImporter::maximumFileSize));
    const std::optional<QStringList> lines = read();
    ASSERT_TRUE(lines.has_value());
    ASSERT_EQ(lines->size(), 2);
    EXPECT_EQ(lines->first(), m_bundle);
}

} // namespace
