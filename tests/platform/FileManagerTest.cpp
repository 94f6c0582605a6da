// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/FileManager.h"

#include "tests/platform/PackageFixtures.h"
#include "tests/support/QtPrinters.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace PackageFixtures;

namespace {

TEST(FileManagerTest, ExistenceFollowsSymbolicLinks) {
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("file"));
    ASSERT_TRUE(writeFile(file, "x"));
    ASSERT_TRUE(QFile::link(file, dir.filePath(QStringLiteral("good-link"))));
    ASSERT_TRUE(
        QFile::link(dir.filePath(QStringLiteral("nothing")), dir.filePath(QStringLiteral("bad-link"))));

    EXPECT_TRUE(FileManager::fileExistsAtPath(file));
    EXPECT_TRUE(FileManager::fileExistsAtPath(dir.path()));
    EXPECT_TRUE(FileManager::fileExistsAtPath(dir.filePath(QStringLiteral("good-link"))));
    EXPECT_FALSE(FileManager::fileExistsAtPath(dir.filePath(QStringLiteral("bad-link"))));
    EXPECT_FALSE(FileManager::fileExistsAtPath(dir.filePath(QStringLiteral("nothing"))));
    EXPECT_FALSE(FileManager::fileExistsAtPath(QString()));
}

TEST(FileManagerTest, DisplayNamesHideTheBundleExtensionAndUseDesktopNames) {
    QTemporaryDir dir;
    const QString bundle = makeBundle(dir.path(), QStringLiteral("Foo Browser"), QStringLiteral("foo"));
    EXPECT_EQ(FileManager::displayNameAtPath(bundle), QStringLiteral("Foo Browser"));
    EXPECT_EQ(FileManager::displayNameAtPath(bundle + QLatin1Char('/')), QStringLiteral("Foo Browser"));
    EXPECT_EQ(FileManager::displayNameAtPath(QStringLiteral("/usr/bin/curl")), QStringLiteral("curl"));
    EXPECT_EQ(FileManager::displayNameAtPath(QStringLiteral("/")), QStringLiteral("/"));

    ASSERT_TRUE(writeFile(dir.filePath(QStringLiteral("notes.app")), "a file, not a bundle"));
    EXPECT_EQ(FileManager::displayNameAtPath(dir.filePath(QStringLiteral("notes.app"))),
              QStringLiteral("notes.app"));

    const QString entry = makeDesktopEntry(dir.filePath(QStringLiteral("org.example.Sleeper.desktop")),
                                           "Type=Application\nName=Sleeper\nExec=sleep 5\n");
    EXPECT_EQ(FileManager::displayNameAtPath(entry), QStringLiteral("Sleeper"));
}

} // namespace
