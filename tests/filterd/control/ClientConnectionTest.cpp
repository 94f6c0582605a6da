// SPDX-License-Identifier: GPL-3.0-or-later
#include "filterd/control/ClientConnection.h"

#include "tests/filterd/FilterdTestSupport.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

using Filterd::ClientConnection;
using Quilvane::Wire::UniqueFd;

namespace {

using FilterdTestSupport::taggedRecord;

struct Pair {
    std::unique_ptr<ClientConnection> server;
    UniqueFd client;
};

Pair connectedPair(std::size_t capacity, int sendBuffer = 0) {
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds), 0);
    if (sendBuffer > 0) {
        ::setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
    }
    return {std::make_unique<ClientConnection>(UniqueFd(fds[0]), Filterd::PeerPolicy::Peer{}, capacity),
            UniqueFd(fds[1])};
}

} // namespace

TEST(ClientConnection, DeliversRecordsInOrderAsSeparateMessages) {
    auto pair = connectedPair(16);
    for (std::uint8_t i = 0; i < 10; ++i) {
        ASSERT_TRUE(pair.server->enqueue(taggedRecord(i).data(), 24));
    }
    EXPECT_EQ(pair.server->flush(), ClientConnection::FlushResult::empty);
    EXPECT_EQ(pair.server->delivered(), 10u);
    for (std::uint8_t i = 0; i < 10; ++i) {
        std::uint8_t buffer[256];
        ASSERT_EQ(::recv(pair.client.get(), buffer, sizeof buffer, MSG_DONTWAIT), 24);
        EXPECT_EQ(buffer[4], i);
    }
}

TEST(ClientConnection, FullQueueDropsAndCountsWithoutBlocking) {
    auto pair = connectedPair(4);
    for (std::uint8_t i = 0; i < 6; ++i) {
        pair.server->enqueue(taggedRecord(i).data(), 24);
    }
    EXPECT_EQ(pair.server->dropped(), 2u);
    const auto now = std::chrono::steady_clock::now();
    EXPECT_EQ(pair.server->takeNewDrops(now, std::chrono::seconds(5)), 2u);
    pair.server->enqueue(taggedRecord(9).data(), 24);
    EXPECT_EQ(pair.server->takeNewDrops(now + std::chrono::seconds(1), std::chrono::seconds(5)), 0u)
        << "reported at most once per interval";
    EXPECT_EQ(pair.server->takeNewDrops(now + std::chrono::seconds(6), std::chrono::seconds(5)), 1u);
    std::array<std::uint8_t, Quilvane::Wire::kRecordBufferSize + 1> tooLong{};
    EXPECT_FALSE(pair.server->enqueue(tooLong.data(), tooLong.size())) << "longer than a record";
}

TEST(ClientConnection, ReaderThatStopsReadingLeavesRecordsQueued) {
    auto pair = connectedPair(100000, 4096);
    for (int i = 0; i < 20000; ++i) {
        pair.server->enqueue(taggedRecord(1).data(), 24);
    }
    EXPECT_EQ(pair.server->flush(), ClientConnection::FlushResult::blocked);
    EXPECT_TRUE(pair.server->hasPending());
    EXPECT_LT(pair.server->delivered(), 20000u);
    pair.client.reset();
    EXPECT_EQ(pair.server->flush(), ClientConnection::FlushResult::failed) << "peer gone";
}

TEST(ClientConnection, OnlyAReaderThatFallsBehindGetsTheLargeSendBuffer) {
    const auto sendBuffer = [](int fd) {
        int bytes = 0;
        socklen_t length = sizeof bytes;
        ::getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, &length);
        return bytes;
    };
    auto idle = connectedPair(100000);
    auto slow = connectedPair(100000);
    const int defaultBuffer = sendBuffer(idle.server->fd());
    for (auto* pair : {&idle, &slow}) {
        for (int i = 0; i < 20000; ++i) {
            pair->server->enqueue(taggedRecord(1).data(), 24);
        }
        ASSERT_EQ(pair->server->flush(), ClientConnection::FlushResult::blocked);
    }
    // The slow client reads a little, and its socket fills again.
    std::uint8_t buffer[64];
    for (int i = 0; i < 100; ++i) {
        ASSERT_GT(::recv(slow.client.get(), buffer, sizeof buffer, MSG_DONTWAIT), 0);
    }
    EXPECT_EQ(slow.server->flush(), ClientConnection::FlushResult::blocked);
    EXPECT_EQ(idle.server->flush(), ClientConnection::FlushResult::blocked);

    EXPECT_FALSE(idle.server->hasLargeSendBuffer());
    EXPECT_EQ(sendBuffer(idle.server->fd()), defaultBuffer) << "a client that never reads pins no more";
    EXPECT_TRUE(slow.server->hasLargeSendBuffer());
    EXPECT_GT(sendBuffer(slow.server->fd()), defaultBuffer);
}
