// SPDX-License-Identifier: GPL-3.0-or-later
#include "kernel/KextSocket.h"

#include "tests/support/FakeKextFilter.h"
#include "tests/support/QtPrinters.h"

#include <QDir>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

std::size_t openDescriptors() {
    return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                                  std::filesystem::directory_iterator()));
}

} // namespace

TEST(KextSocketTest, OpenFailsWithZeroAndLeaksNothing) {
    FakeKextFilter filter(FakeKextFilter::Start::deferred); // the folder exists, nobody listens
    const std::size_t before = openDescriptors();
    EXPECT_EQ(openKextSocket(), 0); // no such control
    EXPECT_EQ(openDescriptors(), before);

    // A file that is not a socket is not a control.
    {
        std::FILE* file = std::fopen(filter.socketPath().c_str(), "w");
        std::fclose(file);
    }
    EXPECT_EQ(openKextSocket(), 0);
    EXPECT_EQ(openDescriptors(), before);
    std::remove(filter.socketPath().c_str());

    // A socket left behind by a filter that has gone: the look-up succeeds, connect fails.
    const int stale = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, filter.socketPath().c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(stale, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ::close(stale);
    EXPECT_EQ(openKextSocket(), 0);
    EXPECT_EQ(openDescriptors(), before);
}

TEST(KextSocketTest, OpensAndClosesAConnection) {
    FakeKextFilter filter;
    const int fd = openKextSocket();
    ASSERT_GT(fd, 0);
    EXPECT_TRUE(filter.waitForClients(1));
    EXPECT_EQ(closeKextSocket(fd), 0);
}

TEST(KextSocketTest, NeverHandsOutDescriptorZero) {
    FakeKextFilter filter;
    const int savedStdin = ::dup(0);
    ::close(0);
    const int fd = openKextSocket();
    ::dup2(savedStdin, 0);
    ::close(savedStdin);
    EXPECT_GT(fd, 0);
    if (fd > 0) {
        closeKextSocket(fd);
    }
}

TEST(KextSocketTest, AFailedCloseSaysSoWithoutLineBreakAndKeepsTheDescriptor) {
    // A number no descriptor has (a closed one could be reused by the capture of standard output).
    const int fd = 1 << 20;
    ASSERT_EQ(::fcntl(fd, F_GETFD), -1);
    ::testing::internal::CaptureStdout();
    const int result = closeKextSocket(fd);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Couldn't close socket");
    EXPECT_EQ(result, fd);
}

TEST(KextSocketTest, SetNonBlockingReplacesTheFlags) {
    QDir(QDir::tempPath()).mkpath(QStringLiteral("."));
    const std::string path = QDir::temp().filePath(QStringLiteral("quilvane-flags-test")).toStdString();
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    ASSERT_GT(fd, 0);
    EXPECT_EQ(setNonBlocking(fd), 0);
    const int flags = ::fcntl(fd, F_GETFL);
    EXPECT_NE(flags & O_NONBLOCK, 0);
    EXPECT_EQ(flags & O_APPEND, 0);
    ::close(fd);
    ::unlink(path.c_str());
}

TEST(KextSocketTest, SetKextOptionSendsOneFramedMessage) {
    FakeKextFilter filter;
    const int fd = openKextSocket();
    ASSERT_GT(fd, 0);
    const std::uint8_t names[] = {'a', 0, 'b', 0};
    EXPECT_EQ(setKextOption(fd, 0, names, sizeof names), 0);
    EXPECT_EQ(setKextOption(fd, 7, nullptr, 0), 0); // an option no one knows: framed all the same
    ASSERT_TRUE(filter.waitForCommands(2));
    const auto commands = filter.commands();
    EXPECT_EQ(commands[0].level, 2);
    EXPECT_EQ(commands[0].option, 0);
    EXPECT_EQ(commands[0].payload, (std::vector<std::uint8_t>{0x61, 0, 0x62, 0}));
    EXPECT_EQ(commands[1].level, 2);
    EXPECT_EQ(commands[1].option, 7);
    EXPECT_TRUE(commands[1].payload.empty());

    // A filter that has gone gives a failure, not a SIGPIPE.
    filter.disconnectClients();
    for (int i = 0; i < 500 && filter.clientCount() != 0; ++i) {
        ::usleep(2000);
    }
    EXPECT_EQ(setKextOption(fd, 0, names, sizeof names), -1);
    closeKextSocket(fd);
}
