// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/ProcessInfo.h"

#include "tests/platform/ChildProcess.h"
#include "tests/platform/PackageFixtures.h"
#include "tests/support/TestEnvironment.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <unistd.h>

using namespace PackageFixtures;

namespace {

TEST(ProcessInfoTest, ReadsPathAndNameOfALiveChild) {
    QTemporaryDir dir;
    const QString program = dir.filePath(QStringLiteral("a-rather-long-program-name"));
    ASSERT_TRUE(copyProgram(program));
    ChildProcess child(program);
    ASSERT_TRUE(child.running());

    EXPECT_EQ(ProcessInfo::processPath(child.pid()), program);
    EXPECT_EQ(ProcessInfo::processName(child.pid()), QStringLiteral("a-rather-long-p"))
        << "comm keeps 15 bytes";
    EXPECT_EQ(ProcessInfo::processPath(static_cast<qint32>(::getpid())),
              QFileInfo(QCoreApplication::applicationFilePath()).canonicalFilePath());
}

TEST(ProcessInfoTest, DeletedExecutableKeepsItsPathWithoutTheKernelSuffix) {
    QTemporaryDir dir;
    const QString program = dir.filePath(QStringLiteral("vanishing"));
    ASSERT_TRUE(copyProgram(program));
    ChildProcess child(program);
    ASSERT_TRUE(child.running());
    ASSERT_TRUE(QFile::remove(program));
    EXPECT_EQ(ProcessInfo::processPath(child.pid()), program);
}

TEST(ProcessInfoTest, InvalidUtf8InThePathBecomesReplacementCharacters) {
    QTemporaryDir dir;
    const std::filesystem::path folder =
        std::filesystem::path(QFile::encodeName(dir.path()).toStdString()) / "bad\xff\xfe";
    std::filesystem::create_directory(folder);
    // QTemporaryDir cannot spell this name to remove it.
    const std::unique_ptr<const std::filesystem::path, void (*)(const std::filesystem::path*)> cleanup(
        &folder, [](const std::filesystem::path* p) { std::filesystem::remove_all(*p); });
    const std::filesystem::path program = folder / "prog";
    std::filesystem::copy_file(realProgram, program);
    RawChildProcess child(QByteArray::fromStdString(program.string()));
    ASSERT_GT(child.pid(), 0);
    ASSERT_TRUE(TestEnvironment::waitUntil(
        [&] { return ProcessInfo::processName(child.pid()) == QStringLiteral("prog"); }));

    const std::optional<QString> path = ProcessInfo::processPath(child.pid());
    ASSERT_TRUE(path);
    EXPECT_TRUE(path->endsWith(QStringLiteral("/bad\uFFFD\uFFFD/prog"))) << path->toStdString();
    EXPECT_FALSE(QFileInfo::exists(*path)) << "the decoded text names nothing on disk";
}

TEST(ProcessInfoTest, ExitedAndImpossibleProcessesGiveNothing) {
    QProcess finished;
    finished.start(QStringLiteral("/bin/true"), {});
    ASSERT_TRUE(finished.waitForFinished());
    const auto pid = static_cast<qint32>(finished.processId());
    for (const qint32 gone : {pid, 0, -1, -2147483647 - 1}) {
        EXPECT_EQ(ProcessInfo::processPath(gone), std::nullopt) << gone;
        EXPECT_EQ(ProcessInfo::processName(gone), std::nullopt) << gone;
        EXPECT_EQ(ProcessInfo::environmentValue(gone, "PATH"), std::nullopt) << gone;
    }
}

TEST(ProcessInfoTest, ReadsTheChildsEnvironment) {
    QProcessEnvironment environment;
    environment.insert(QStringLiteral("QUILVANE_PROBE"), QStringLiteral("a=b c"));
    environment.insert(QStringLiteral("QUILVANE_PROBE_LONGER"), QStringLiteral("no"));
    ChildProcess child(QString::fromLatin1(realProgram), {QStringLiteral("30")}, environment);
    ASSERT_TRUE(child.running());
    EXPECT_EQ(ProcessInfo::environmentValue(child.pid(), "QUILVANE_PROBE"), QByteArray("a=b c"));
    EXPECT_EQ(ProcessInfo::environmentValue(child.pid(), "QUILVANE"), std::nullopt);
}

TEST(ProcessInfoTest, OsVersionIsThreeNumbers) {
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^\\d+\\.\\d+\\.\\d+$"))
                    .match(ProcessInfo::osVersionString())
                    .hasMatch())
        << ProcessInfo::osVersionString().toStdString();
}

TEST(ProcessInfoTest, FilterApprovalIsNeededUnlessATestSaysOtherwise) {
    EXPECT_TRUE(ProcessInfo::filterNeedsApproval());
    ProcessInfo::setFilterNeedsApprovalOverride(false);
    EXPECT_FALSE(ProcessInfo::filterNeedsApproval());
    ProcessInfo::setFilterNeedsApprovalOverride(std::nullopt);
    EXPECT_TRUE(ProcessInfo::filterNeedsApproval());
}

} // namespace
