// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/support/FakeKextFilter.h"

#include "wire/ControlPath.h"
#include "wire/KextCommandFrame.h"
#include "wire/RecordExtension.h"

#include <algorithm>
#include <cstring>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

int connectTo(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

TEST(FakeKextFilterTest, ListensWhereTheClientLooksAndRecordsCommands) {
    FakeKextFilter filter;
    EXPECT_EQ(Quilvane::Wire::controlSocketPath(), filter.socketPath());
    struct stat info {};
    ASSERT_EQ(::stat(filter.socketPath().c_str(), &info), 0);
    EXPECT_TRUE(S_ISSOCK(info.st_mode));

    const int fd = connectTo(filter.socketPath());
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(filter.waitForClients(1));
    const char names[] = {'a', 0};
    const auto first = Quilvane::Wire::frameCommand(2, 0, names, sizeof names);
    const auto second = Quilvane::Wire::frameCommand(2, 9, nullptr, 0);
    ASSERT_EQ(::send(fd, first.data(), first.size(), 0), ssize_t(first.size()));
    ASSERT_EQ(::send(fd, second.data(), second.size(), 0), ssize_t(second.size()));
    ASSERT_TRUE(filter.waitForCommands(2));
    const auto commands = filter.commands();
    ASSERT_EQ(commands.size(), 2u);
    EXPECT_EQ(commands[0].level, 2);
    EXPECT_EQ(commands[0].option, 0);
    EXPECT_EQ(commands[0].payload, (std::vector<std::uint8_t>{'a', 0}));
    EXPECT_EQ(commands[1].option, 9);
    EXPECT_TRUE(commands[1].payload.empty());
    ::close(fd);
}

TEST(FakeKextFilterTest, SendsRecordsOneMessageEachAndDisconnects) {
    FakeKextFilter filter;
    const int fd = connectTo(filter.socketPath());
    ASSERT_TRUE(filter.waitForClients(1));

    const auto v4 = FakeKextFilter::record(1, 77, "192.0.2.1", 443);
    const auto v6 = FakeKextFilter::record(5, 78, "2001:db8::1", 80);
    EXPECT_EQ(v4.size(), 24u);
    EXPECT_EQ(v6.size(), 36u);
    EXPECT_EQ(v6[0], 5); // the command is written as given
    EXPECT_TRUE(FakeKextFilter::record(1, 1, "not an address", 1).empty());
    EXPECT_EQ(filter.sendRecord(v4), 1);
    EXPECT_EQ(filter.sendRecord(v6), 1);

    std::uint8_t buffer[256];
    EXPECT_EQ(::recv(fd, buffer, sizeof buffer, 0), 24);
    EXPECT_EQ(std::vector<std::uint8_t>(buffer, buffer + 24), v4);
    EXPECT_EQ(::recv(fd, buffer, sizeof buffer, 0), 36);

    filter.disconnectClients();
    pollfd hangup{fd, POLLIN, 0};
    ASSERT_EQ(::poll(&hangup, 1, 5000), 1);
    EXPECT_EQ(::recv(fd, buffer, sizeof buffer, 0), 0);
    ::close(fd);
    for (int i = 0; i < 500 && filter.clientCount() != 0; ++i) {
        ::usleep(2000);
    }
    EXPECT_EQ(filter.clientCount(), 0);
    EXPECT_EQ(filter.acceptedCount(), 1);
}

TEST(FakeKextFilterTest, ExtendedRecordsCarryTheIdentity) {
    const auto extended =
        FakeKextFilter::extendedRecord(2, 77, "192.0.2.1", 443, 1000, "/bin/sh", "/tmp/s.sh");
    Quilvane::Wire::RecordBuffer buffer{};
    std::copy(extended.begin(), extended.end(), buffer.begin());
    EXPECT_EQ(Quilvane::Wire::recordCommand(buffer), 2u);
    EXPECT_EQ(Quilvane::Wire::recordExtension(buffer, extended.size()),
              (Quilvane::Wire::RecordIdentity{1000, "/bin/sh", "/tmp/s.sh", ""}));
}

TEST(FakeKextFilterTest, StopsLikeAServiceAndListensAgainInTheSameFolder) {
    FakeKextFilter filter;
    const int fd = connectTo(filter.socketPath());
    ASSERT_TRUE(filter.waitForClients(1));
    filter.stop();
    pollfd hangup{fd, POLLIN, 0};
    ASSERT_EQ(::poll(&hangup, 1, 5000), 1);
    std::uint8_t byte;
    EXPECT_EQ(::recv(fd, &byte, 1, 0), 0);
    ::close(fd);
    EXPECT_LT(connectTo(filter.socketPath()), 0);

    ASSERT_TRUE(filter.listen());
    const int again = connectTo(filter.socketPath());
    EXPECT_GE(again, 0);
    EXPECT_TRUE(filter.waitForClients(1));
    EXPECT_EQ(filter.acceptedCount(), 2);
    ::close(again);
}

TEST(FakeKextFilterTest, DeferredFilterHasNoSocketUntilItListens) {
    FakeKextFilter filter(FakeKextFilter::Start::deferred);
    EXPECT_LT(connectTo(filter.socketPath()), 0);
    ASSERT_TRUE(filter.listen());
    const int fd = connectTo(filter.socketPath());
    EXPECT_GE(fd, 0);
    ::close(fd);
}

TEST(FakeKextFilterTest, RestoresTheControlDirectory) {
    ::setenv("QUILVANE_CONTROL_DIR", "/before", 1);
    {
        FakeKextFilter filter;
        EXPECT_NE(Quilvane::Wire::controlDirectory(), "/before");
    }
    EXPECT_EQ(Quilvane::Wire::controlDirectory(), "/before");
    ::unsetenv("QUILVANE_CONTROL_DIR");
}
