// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/DesktopExec.h"

#include "platform/Bundle.h"
#include "tests/platform/PackageFixtures.h"
#include "tests/support/QtPrinters.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace PackageFixtures;

namespace {

// Desktop entries of each kind of launcher, with their snap and flatpak installations in a temporary
// folder: the program named is the one whose name the filter service will see.
class DesktopExecTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        DesktopExec::Roots roots;
        roots.snap = at(QStringLiteral("snap"));
        roots.flatpak = {at(QStringLiteral("user-flatpak")), at(QStringLiteral("system-flatpak"))};
        DesktopExec::setRoots(roots);
        // Launchers on PATH, as a desktop has them.
        m_oldPath = qgetenv("PATH");
        QDir().mkpath(at(QStringLiteral("bin")));
        qputenv("PATH", at(QStringLiteral("bin")).toUtf8() + ':' + m_oldPath);
        ASSERT_TRUE(copyProgram(at(QStringLiteral("bin/flatpak"))));
        ASSERT_TRUE(copyProgram(at(QStringLiteral("bin/prog"))));
    }
    void TearDown() override {
        qputenv("PATH", m_oldPath);
        DesktopExec::setRoots(std::nullopt);
    }

    QString at(const QString& name) const { return m_dir.filePath(name); }

    // The file name of the program the entry with this Exec= (and more lines) starts.
    std::optional<QString> programOf(const QByteArray& exec, const QByteArray& more = {}) {
        const QString entry = makeDesktopEntry(at(QStringLiteral("entry-%1.desktop").arg(++m_entries)),
                                               "Type=Application\nName=E\nExec=" + exec + "\n" + more);
        const auto bundle = Bundle::initWithPath(entry);
        if (!bundle || !bundle->executablePath()) {
            return std::nullopt;
        }
        return QFileInfo(*bundle->executablePath()).fileName();
    }

    QTemporaryDir m_dir;
    QByteArray m_oldPath;
    int m_entries = 0;
};

TEST_F(DesktopExecTest, EnvAndItsAssignmentsAreSkipped) {
    EXPECT_EQ(programOf("env FOO=1 BAR=\"two words\" prog --x %U"), QStringLiteral("prog"));
    EXPECT_EQ(programOf("/usr/bin/env -u LANG -i GDK_BACKEND=x11 prog"), QStringLiteral("prog"));
}

TEST_F(DesktopExecTest, FlatpakGivesItsCommandOrTheInstalledApplicationsOne) {
    EXPECT_EQ(programOf("flatpak run --branch=stable --command=org-tool org.example.Tool %U"),
              QStringLiteral("org-tool"));

    // No --command: the command= of the metadata, from the installation that has the application.
    ASSERT_TRUE(writeFile(at(QStringLiteral("system-flatpak/app/org.example.Editor/current/active/metadata")),
                          "[Application]\nname=org.example.Editor\nruntime=org.example.Platform/x86_64/1\n"
                          "command=/app/bin/editor-wrapper\n\n[Context]\nshared=network;\n"));
    EXPECT_EQ(programOf(at(QStringLiteral("bin/flatpak")).toUtf8() +
                        " run --file-forwarding org.example.Editor//stable @@u %U @@"),
              QStringLiteral("editor-wrapper"));
    EXPECT_EQ(programOf("env LANG=C flatpak run org.example.Missing"), std::nullopt)
        << "never the launcher itself";
}

TEST_F(DesktopExecTest, SnapEntriesGiveTheSnapApplicationsOwnProgram) {
    // /snap/bin/NAME links to the multi-call /usr/bin/snap.
    ASSERT_TRUE(copyProgram(at(QStringLiteral("usr/bin/snap"))));
    QDir().mkpath(at(QStringLiteral("snap/bin")));
    for (const char* name : {"firefox", "toolbox.cli", "bare"}) {
        ASSERT_TRUE(QFile::link(at(QStringLiteral("usr/bin/snap")),
                                at(QStringLiteral("snap/bin/")) + QLatin1String(name)));
    }
    ASSERT_TRUE(writeFile(at(QStringLiteral("snap/firefox/current/meta/snap.yaml")),
                          "name: firefox\napps:\n  geckodriver:\n    command: usr/lib/firefox/geckodriver\n"
                          "  firefox:\n    command: usr/lib/firefox/firefox.sh --flag\n"
                          "    plugs: [network]\n"));
    ASSERT_TRUE(writeFile(at(QStringLiteral("snap/toolbox/current/meta/snap.yaml")),
                          "name: toolbox\napps:\n  cli:\n    command: \"bin/tb-cli\"\n"));

    const QByteArray snapBin = at(QStringLiteral("snap/bin/")).toUtf8();
    EXPECT_EQ(programOf("env BAMF_DESKTOP_FILE_HINT=/x.desktop " + snapBin + "firefox %u",
                        "X-SnapInstanceName=firefox\n"),
              QStringLiteral("firefox.sh"));
    EXPECT_EQ(programOf(snapBin + "toolbox.cli"), QStringLiteral("tb-cli"));
    EXPECT_EQ(programOf(snapBin + "bare"), QStringLiteral("bare")) << "no snap.yaml: the app's name";
}

TEST_F(DesktopExecTest, AppImagesAndWrapperScriptsAreTheirOwnNames) {
    ASSERT_TRUE(copyProgram(at(QStringLiteral("Apps/Editor-1.2-x86_64.AppImage"))));
    EXPECT_EQ(programOf("\"" + at(QStringLiteral("Apps/Editor-1.2-x86_64.AppImage")).toUtf8() + "\" %F"),
              QStringLiteral("Editor-1.2-x86_64.AppImage"));

    ASSERT_TRUE(writeFile(at(QStringLiteral("bin/start-editor")), "#!/bin/sh\nexec prog \"$@\"\n", true));
    EXPECT_EQ(programOf("start-editor %F"), QStringLiteral("start-editor"));
}

TEST_F(DesktopExecTest, LinksToAMultiCallProgramKeepTheirOwnName) {
    ASSERT_TRUE(copyProgram(at(QStringLiteral("opt/busybox"))));
    ASSERT_TRUE(QFile::link(at(QStringLiteral("opt/busybox")), at(QStringLiteral("bin/wget"))));
    EXPECT_EQ(programOf("wget -q"), QStringLiteral("wget"));
}

} // namespace
