// SPDX-License-Identifier: GPL-3.0-or-later
#include "model/App.h"

#include "platform/ProcessInfo.h"
#include "tests/platform/ChildProcess.h"
#include "tests/platform/PackageFixtures.h"
#include "tests/support/TestEnvironment.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace PackageFixtures;

namespace {

class AppTest : public ::testing::Test {
protected:
    QString at(const QString& name) const { return m_dir.filePath(name); }
    QTemporaryDir m_dir;
};

TEST_F(AppTest, ExplicitValuesUseThePathElseTheExecutableAsIdentifier) {
    const AppPtr bare =
        App::initWithName(QStringLiteral("Web Browser"), QStringLiteral("browser"), std::nullopt);
    EXPECT_EQ(bare->identifier(), QStringLiteral("browser"));
    EXPECT_EQ(bare->name(), QStringLiteral("Web Browser"));
    EXPECT_EQ(bare->path(), std::nullopt);

    const AppPtr withPath =
        App::initWithName(QStringLiteral("Web"), QStringLiteral("browser"), QStringLiteral("/opt/web"));
    EXPECT_EQ(withPath->identifier(), QStringLiteral("/opt/web"));
}

TEST_F(AppTest, PathsThatAreNoApplicationFail) {
    QDir().mkpath(at(QStringLiteral("plain folder")));
    ASSERT_TRUE(writeFile(at(QStringLiteral("notes.txt")), "text"));
    ASSERT_TRUE(writeFile(at(QStringLiteral("unreadable-x")), "no shebang", true));

    EXPECT_FALSE(App::initWithPath(at(QStringLiteral("nothing here"))));
    EXPECT_FALSE(App::initWithPath(at(QStringLiteral("plain folder"))));
    EXPECT_FALSE(App::initWithPath(at(QStringLiteral("notes.txt"))));
    EXPECT_FALSE(App::initWithPath(at(QStringLiteral("unreadable-x"))));
    EXPECT_FALSE(App::initWithPath(QString()));
    EXPECT_FALSE(App::initWithPath(QStringLiteral("/tmp/\uFFFD\uFFFD/prog")));
}

TEST_F(AppTest, BundleWithoutMainExecutableFailsAlthoughItIsAFolder) {
    const QString noExecutable =
        makeBundle(m_dir.path(), QStringLiteral("Empty"), QStringLiteral("missing"), false);
    ASSERT_TRUE(QFileInfo(noExecutable).isExecutable()) << "a folder passes the plain execute-bit test";
    EXPECT_FALSE(App::initWithPath(noExecutable));
    EXPECT_FALSE(App::initWithPath(makeBundle(m_dir.path(), QStringLiteral("NoKey"), std::nullopt)));
    EXPECT_EQ(executableName(noExecutable), std::nullopt);
    EXPECT_TRUE(isBundle(noExecutable));
    EXPECT_FALSE(isExecutable(at(QStringLiteral("missing"))));
}

TEST_F(AppTest, BundleIsNamedForTheUserButIdentifiedByPathAndMatchedByExecutable) {
    const QString bundle = makeBundle(m_dir.path(), QStringLiteral("Foo Browser"), QStringLiteral("foo-bin"));
    const AppPtr app = App::initWithPath(bundle);
    ASSERT_TRUE(app);
    EXPECT_EQ(app->name(), QStringLiteral("Foo Browser"));
    EXPECT_EQ(app->executable(), QStringLiteral("foo-bin"));
    EXPECT_EQ(app->identifier(), bundle);
    EXPECT_EQ(app->path(), bundle);
}

TEST_F(AppTest, ExecutableFileAndScript) {
    ASSERT_TRUE(copyProgram(at(QStringLiteral("tool"))));
    ASSERT_TRUE(writeFile(at(QStringLiteral("run.sh")), "#!/bin/sh\n", true));
    const AppPtr tool = App::initWithPath(at(QStringLiteral("tool")));
    ASSERT_TRUE(tool);
    EXPECT_EQ(tool->name(), QStringLiteral("tool"));
    EXPECT_EQ(tool->executable(), QStringLiteral("tool"));
    const AppPtr script = App::initWithPath(at(QStringLiteral("run.sh")));
    ASSERT_TRUE(script);
    EXPECT_EQ(script->executable(), QStringLiteral("run.sh"));
}

TEST_F(AppTest, DesktopEntryResolvesToItsProgramsFileName) {
    ASSERT_TRUE(copyProgram(at(QStringLiteral("opt/editor-real"))));
    QDir().mkpath(at(QStringLiteral("bin")));
    ASSERT_TRUE(QFile::link(at(QStringLiteral("opt/editor-real")), at(QStringLiteral("bin/editor"))));
    const QString entry = makeDesktopEntry(
        at(QStringLiteral("org.example.Editor.desktop")),
        "Type=Application\nName=Text Editor\nExec=" + at(QStringLiteral("bin/editor")).toUtf8() + " %F\n");

    const AppPtr app = App::initWithPath(entry);
    ASSERT_TRUE(app);
    EXPECT_EQ(app->name(), QStringLiteral("Text Editor"));
    EXPECT_EQ(app->executable(), QStringLiteral("editor-real"));
    EXPECT_EQ(app->identifier(), entry);

    const QString noExec =
        makeDesktopEntry(at(QStringLiteral("noexec.desktop")), "Type=Application\nName=X\n");
    EXPECT_FALSE(App::initWithPath(noExec));
}

TEST_F(AppTest, IdentifiersStartingWithSlashAreResolvedOthersAreBare) {
    EXPECT_FALSE(App::initWithIdentifier(at(QStringLiteral("gone.app"))));

    // A program called Safari in the working folder must not turn the bare name into a path.
    ASSERT_TRUE(copyProgram(at(QStringLiteral("Safari"))));
    const QString previous = QDir::currentPath();
    QDir::setCurrent(m_dir.path());
    const AppPtr safari = App::initWithIdentifier(QStringLiteral("Safari"));
    QDir::setCurrent(previous);
    ASSERT_TRUE(safari);
    EXPECT_EQ(safari->name(), QStringLiteral("Safari"));
    EXPECT_EQ(safari->executable(), QStringLiteral("Safari"));
    EXPECT_EQ(safari->identifier(), QStringLiteral("Safari"));
    EXPECT_EQ(safari->path(), std::nullopt);

    const AppPtr empty = App::initWithIdentifier(QString());
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->identifier(), QString());
}

TEST_F(AppTest, SameTextIsTheSameAppDifferentSpellingOfThePathIsNot) {
    const QString bundle = makeBundle(m_dir.path(), QStringLiteral("Same"), QStringLiteral("same"));
    ASSERT_TRUE(QFile::link(bundle, at(QStringLiteral("Alias.app"))));
    const AppPtr byPath = App::initWithPath(bundle);
    const AppPtr byIdentifier = App::initWithIdentifier(bundle);
    const AppPtr trailingSlash = App::initWithPath(bundle + QLatin1Char('/'));
    const AppPtr viaLink = App::initWithPath(at(QStringLiteral("Alias.app")));
    ASSERT_TRUE(byPath && byIdentifier && trailingSlash && viaLink);

    EXPECT_TRUE(byPath->hasSameIdentifier(*byIdentifier));
    EXPECT_FALSE(byPath->hasSameIdentifier(*trailingSlash));
    EXPECT_FALSE(byPath->hasSameIdentifier(*viaLink));
    EXPECT_EQ(viaLink->executable(), byPath->executable());
}

TEST_F(AppTest, CanonicallyEquivalentSpellingsAreTheSameApp) {
    const QString composed = QStringLiteral("Caf\u00e9");
    const QString decomposed = QStringLiteral("Cafe\u0301");
    ASSERT_NE(composed, decomposed);
    EXPECT_TRUE(App::identifiersEqual(composed, decomposed));
    EXPECT_TRUE(App::initWithIdentifier(composed)->hasSameIdentifier(*App::initWithIdentifier(decomposed)));
    EXPECT_FALSE(App::identifiersEqual(QStringLiteral("cafe"), QStringLiteral("Cafe")));
    EXPECT_FALSE(App::identifiersEqual(QStringLiteral("\u212B"), QStringLiteral("A")))
        << "compatibility forms differ";
}

TEST_F(AppTest, PidOfAPlainChildGivesItsExecutablePath) {
    ASSERT_TRUE(copyProgram(at(QStringLiteral("napper"))));
    ChildProcess child(at(QStringLiteral("napper")));
    ASSERT_TRUE(child.running());
    const AppPtr app = App::initWithPid(child.pid());
    ASSERT_TRUE(app);
    EXPECT_EQ(app->identifier(), at(QStringLiteral("napper")));
    EXPECT_EQ(app->executable(), QStringLiteral("napper"));
    EXPECT_EQ(app->name(), QStringLiteral("napper"));
}

TEST_F(AppTest, PidOfAProcessInABundleGivesTheBundle) {
    const QString bundle = makeBundle(m_dir.path(), QStringLiteral("Dozer Deluxe"), QStringLiteral("dozer"));
    ChildProcess child(bundle + QStringLiteral("/Contents/MacOS/dozer"));
    ASSERT_TRUE(child.running());
    const AppPtr app = App::initWithPid(child.pid());
    ASSERT_TRUE(app);
    EXPECT_EQ(app->identifier(), bundle);
    EXPECT_EQ(app->name(), QStringLiteral("Dozer Deluxe"));
    EXPECT_EQ(app->executable(), QStringLiteral("dozer"));
    EXPECT_TRUE(app->hasSameIdentifier(*App::initWithPath(bundle))) << "the same app as when added by hand";
}

TEST_F(AppTest, PidOfAProcessLaunchedFromADesktopEntryGivesTheEntry) {
    const QString entry = makeDesktopEntry(at(QStringLiteral("nap.desktop")),
                                           "Type=Application\nName=Nap Time\nExec=sleep 30\n");
    const ChildProcess child = ChildProcess::launchedFromDesktopEntry(entry);
    ASSERT_TRUE(TestEnvironment::waitUntil(
        [&] { return ProcessInfo::processName(child.pid()) == QStringLiteral("sleep"); }));
    const AppPtr app = App::initWithPid(child.pid());
    ASSERT_TRUE(app);
    EXPECT_EQ(app->identifier(), entry);
    EXPECT_EQ(app->name(), QStringLiteral("Nap Time"));
    EXPECT_EQ(app->executable(), QStringLiteral("sleep"));
}

TEST_F(AppTest, PidWhosePathNoLongerResolvesFallsBackToTheProcessName) {
    ASSERT_TRUE(copyProgram(at(QStringLiteral("ephemeral"))));
    ChildProcess child(at(QStringLiteral("ephemeral")));
    ASSERT_TRUE(child.running());
    ASSERT_TRUE(QFile::remove(at(QStringLiteral("ephemeral"))));
    const AppPtr app = App::initWithPid(child.pid());
    ASSERT_TRUE(app);
    EXPECT_EQ(app->identifier(), QStringLiteral("ephemeral"));
    EXPECT_EQ(app->path(), std::nullopt);
}

TEST_F(AppTest, PidOfAnExitedProcessFails) {
    QProcess finished;
    finished.start(QStringLiteral("/bin/true"), {});
    ASSERT_TRUE(finished.waitForFinished());
    EXPECT_FALSE(App::initWithPid(static_cast<qint32>(finished.processId())));
    EXPECT_FALSE(App::initWithPid(0));
    EXPECT_FALSE(App::initWithPid(-1));
}

} // namespace
