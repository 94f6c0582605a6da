// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/RunningApplication.h"

#include "platform/ProcessInfo.h"
#include "tests/platform/ChildProcess.h"
#include "tests/platform/PackageFixtures.h"
#include "tests/support/TestEnvironment.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace PackageFixtures;

namespace {

TEST(RunningApplicationTest, ProcessInsideABundleIsRegistered) {
    QTemporaryDir dir;
    const QString bundle = makeBundle(dir.path(), QStringLiteral("Sleeper"), QStringLiteral("sleeper"));
    ChildProcess child(bundle + QStringLiteral("/Contents/MacOS/sleeper"));
    ASSERT_TRUE(child.running());

    const auto entry = RunningApplication::runningApplicationWithProcessIdentifier(child.pid());
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->processIdentifier(), child.pid());
    EXPECT_EQ(entry->bundleURL(), QUrl::fromLocalFile(bundle));
    EXPECT_EQ(entry->executableURL(),
              QUrl::fromLocalFile(bundle + QStringLiteral("/Contents/MacOS/sleeper")));
}

TEST(RunningApplicationTest, ProcessStartedFromADesktopEntryIsRegistered) {
    QTemporaryDir dir;
    const QString entryPath = makeDesktopEntry(dir.filePath(QStringLiteral("sleeper.desktop")),
                                               "Type=Application\nName=Sleeper\nExec=sleep 30\n");
    const ChildProcess child = ChildProcess::launchedFromDesktopEntry(entryPath);
    ASSERT_TRUE(child.running());
    ASSERT_TRUE(TestEnvironment::waitUntil(
        [&] { return ProcessInfo::processName(child.pid()) == QStringLiteral("sleep"); }));

    const auto entry = RunningApplication::runningApplicationWithProcessIdentifier(child.pid());
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->bundleURL(), QUrl::fromLocalFile(entryPath));
}

TEST(RunningApplicationTest, InheritedLauncherVariablesDoNotRegisterAChild) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("GIO_LAUNCHED_DESKTOP_FILE"),
                       QStringLiteral("/usr/share/applications/x.desktop"));
    environment.insert(QStringLiteral("GIO_LAUNCHED_DESKTOP_FILE_PID"), QStringLiteral("1"));
    ChildProcess child(QString::fromLatin1(realProgram), {QStringLiteral("30")}, environment);
    ASSERT_TRUE(child.running());
    EXPECT_FALSE(RunningApplication::runningApplicationWithProcessIdentifier(child.pid()));
}

TEST(RunningApplicationTest, PlainAndExitedProcessesAreNotRegistered) {
    ChildProcess plain(QString::fromLatin1(realProgram));
    ASSERT_TRUE(plain.running());
    EXPECT_FALSE(RunningApplication::runningApplicationWithProcessIdentifier(plain.pid()));

    QProcess finished;
    finished.start(QStringLiteral("/bin/true"), {});
    ASSERT_TRUE(finished.waitForFinished());
    EXPECT_FALSE(RunningApplication::runningApplicationWithProcessIdentifier(
        static_cast<qint32>(finished.processId())));
    EXPECT_FALSE(RunningApplication::runningApplicationWithProcessIdentifier(0));
}

} // namespace
