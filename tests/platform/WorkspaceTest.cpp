// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/Workspace.h"

#include "tests/platform/PackageFixtures.h"
#include "tests/support/QtPrinters.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace PackageFixtures;

namespace {

class WorkspaceTest : public ::testing::Test {
protected:
    QString at(const QString& name) const { return m_dir.filePath(name); }
    QTemporaryDir m_dir;
};

TEST_F(WorkspaceTest, TypeTable) {
    const QString bundle = makeBundle(m_dir.path(), QStringLiteral("App"), QStringLiteral("exe"));
    QDir().mkpath(at(QStringLiteral("Plugin/Contents")));
    ASSERT_TRUE(writeFile(at(QStringLiteral("Plugin/Contents/Info.plist")), infoPlist(std::nullopt)));
    QDir().mkpath(at(QStringLiteral("folder")));
    ASSERT_TRUE(copyProgram(at(QStringLiteral("elf"))));
    ASSERT_TRUE(writeFile(at(QStringLiteral("script")), "#!/bin/sh\nexit 0\n", true));
    ASSERT_TRUE(writeFile(at(QStringLiteral("text-with-x-bit")), "echo hi\n", true));
    ASSERT_TRUE(writeFile(at(QStringLiteral("elf-without-x-bit")),
                          "\x7f"
                          "ELF....",
                          false));
    ASSERT_TRUE(writeFile(at(QStringLiteral("a.desktop")), "[Desktop Entry]\n"));

    EXPECT_EQ(Workspace::typeOfFile(bundle), QStringLiteral("com.apple.application-bundle"));
    EXPECT_EQ(Workspace::typeOfFile(at(QStringLiteral("Plugin"))), QStringLiteral("com.apple.bundle"));
    EXPECT_EQ(Workspace::typeOfFile(at(QStringLiteral("folder"))), QStringLiteral("public.folder"));
    EXPECT_EQ(Workspace::typeOfFile(at(QStringLiteral("elf"))), QStringLiteral("public.executable"));
    EXPECT_EQ(Workspace::typeOfFile(at(QStringLiteral("script"))), QStringLiteral("public.executable"));
    EXPECT_EQ(Workspace::typeOfFile(at(QStringLiteral("text-with-x-bit"))), QStringLiteral("public.data"));
    EXPECT_EQ(Workspace::typeOfFile(at(QStringLiteral("elf-without-x-bit"))), QStringLiteral("public.data"));
    EXPECT_EQ(Workspace::typeOfFile(at(QStringLiteral("a.desktop"))),
              QStringLiteral("org.freedesktop.desktop-entry"));
    EXPECT_EQ(Workspace::typeOfFile(at(QStringLiteral("missing"))), std::nullopt);
    EXPECT_EQ(Workspace::typeOfFile(QString()), std::nullopt);
}

TEST_F(WorkspaceTest, Conformance) {
    const auto conforms = [](const char* type, const char* to) {
        return Workspace::typeConformsToType(QLatin1String(type), QLatin1String(to));
    };
    EXPECT_TRUE(conforms("com.apple.application-bundle", "com.apple.bundle"));
    EXPECT_TRUE(conforms("com.apple.application-bundle", "public.executable"));
    EXPECT_TRUE(conforms("org.freedesktop.desktop-entry", "com.apple.bundle"));
    EXPECT_TRUE(conforms("org.freedesktop.desktop-entry", "public.executable"));
    EXPECT_TRUE(conforms("com.apple.bundle", "public.directory"));
    EXPECT_TRUE(conforms("public.executable", "public.item"));
    EXPECT_TRUE(conforms("public.folder", "public.folder"));
    EXPECT_TRUE(conforms("some.unknown.type", "some.unknown.type"));

    EXPECT_FALSE(conforms("com.apple.bundle", "public.executable"));
    EXPECT_FALSE(conforms("public.folder", "public.executable"));
    EXPECT_FALSE(conforms("public.folder", "com.apple.bundle"));
    EXPECT_FALSE(conforms("public.executable", "com.apple.bundle"));
    EXPECT_FALSE(conforms("public.data", "public.executable"));
}

TEST_F(WorkspaceTest, PackagesShowTheirOwnIcons) {
    QImage red(16, 16, QImage::Format_ARGB32);
    red.fill(Qt::red);
    const QString bundle = makeBundle(m_dir.path(), QStringLiteral("Painted"), QStringLiteral("exe"), true,
                                      QStringLiteral("<key>CFBundleIconFile</key><string>painted</string>"));
    QDir().mkpath(bundle + QStringLiteral("/Contents/Resources"));
    ASSERT_TRUE(red.save(bundle + QStringLiteral("/Contents/Resources/painted.png")));
    const QIcon bundleIcon = Workspace::iconForFile(bundle);
    ASSERT_FALSE(bundleIcon.isNull());
    EXPECT_EQ(bundleIcon.pixmap(16, 16).toImage().pixelColor(8, 8), QColor(Qt::red));

    QImage blue(16, 16, QImage::Format_ARGB32);
    blue.fill(Qt::blue);
    ASSERT_TRUE(blue.save(at(QStringLiteral("blue.png"))));
    const QString entry = makeDesktopEntry(
        at(QStringLiteral("blue.desktop")),
        "Type=Application\nName=Blue\nExec=sleep 1\nIcon=" + at(QStringLiteral("blue.png")).toUtf8() + "\n");
    const QIcon entryIcon = Workspace::iconForFile(entry);
    ASSERT_FALSE(entryIcon.isNull());
    EXPECT_EQ(entryIcon.pixmap(16, 16).toImage().pixelColor(8, 8), QColor(Qt::blue));
}

// Without an icon theme (as on a bare desktop or the offscreen platform) the desktop has no icon for
// these; rows must still show one.
TEST_F(WorkspaceTest, ProgramsAndPackagesWithoutIconsOfTheirOwnStillGetOne) {
    ASSERT_TRUE(copyProgram(at(QStringLiteral("program"))));
    const QString bundle = makeBundle(m_dir.path(), QStringLiteral("Plain"), QStringLiteral("exe"));
    const QString entry =
        makeDesktopEntry(at(QStringLiteral("plain.desktop")), "Type=Application\nName=Plain\nExec=sleep 1\n");

    for (const QString& path : {at(QStringLiteral("program")), bundle, entry}) {
        const QIcon icon = Workspace::iconForFile(path);
        ASSERT_FALSE(icon.isNull()) << qPrintable(path);
        EXPECT_FALSE(icon.pixmap(32, 32).isNull()) << qPrintable(path);
    }
}

TEST_F(WorkspaceTest, OpenURLGoesThroughTheReplaceableOpener) {
    QList<QUrl> opened;
    Workspace::setUrlOpener([&](const QUrl& url) {
        opened.append(url);
        return url.scheme() == QLatin1String("https");
    });
    EXPECT_TRUE(Workspace::openURL(QUrl(QStringLiteral("https://example.org/update?version=1"))));
    EXPECT_FALSE(Workspace::openURL(QUrl(QStringLiteral("x-unknown:thing"))));
    Workspace::setUrlOpener({});
    ASSERT_EQ(opened.size(), 2);
    EXPECT_EQ(opened.first().query(), QStringLiteral("version=1"));
}

} // namespace
