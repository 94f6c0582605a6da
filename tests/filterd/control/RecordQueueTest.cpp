// SPDX-License-Identifier: GPL-3.0-or-later
#include "filterd/control/RecordQueue.h"

#include <array>
#include <gtest/gtest.h>
#include <vector>

using Filterd::RecordQueue;

namespace {

std::vector<std::uint8_t> record(std::uint8_t tag, std::size_t length) {
    return std::vector<std::uint8_t>(length, tag);
}

} // namespace

TEST(RecordQueue, KeepsRecordsOfEveryLengthInOrder) {
    RecordQueue queue(100, 1024 * 1024);
    const std::vector<std::size_t> lengths = {24, 36, 120, RecordQueue::kMaxRecordBytes, 1};
    for (std::size_t i = 0; i < lengths.size(); ++i) {
        ASSERT_TRUE(queue.push(record(static_cast<std::uint8_t>(i), lengths[i]).data(), lengths[i]));
    }
    EXPECT_FALSE(
        queue.push(record(9, RecordQueue::kMaxRecordBytes + 1).data(), RecordQueue::kMaxRecordBytes + 1));

    std::array<iovec, 3> first{};
    ASSERT_EQ(queue.peek(first), 3u);
    queue.pop(2);
    std::array<iovec, 8> rest{};
    ASSERT_EQ(queue.peek(rest), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        ASSERT_EQ(rest[i].iov_len, lengths[i + 2]);
        EXPECT_EQ(static_cast<const std::uint8_t*>(rest[i].iov_base)[0], i + 2);
    }
}

TEST(RecordQueue, TakesMemoryAsItFillsUpToItsBoundsAndGivesItBack) {
    RecordQueue queue(1'000'000, 4 * RecordQueue::kBlockBytes);
    EXPECT_EQ(queue.allocatedBytes(), 0u) << "a new client costs nothing";
    const auto ipv6 = record(1, 36);
    ASSERT_TRUE(queue.push(ipv6.data(), ipv6.size()));
    EXPECT_EQ(queue.allocatedBytes(), RecordQueue::kBlockBytes);

    std::size_t taken = 1;
    while (queue.push(ipv6.data(), ipv6.size())) {
        ++taken;
    }
    EXPECT_EQ(queue.allocatedBytes(), 4 * RecordQueue::kBlockBytes) << "bounded in bytes";
    EXPECT_EQ(taken, 4 * (RecordQueue::kBlockBytes / 38));

    queue.pop(taken);
    EXPECT_TRUE(queue.empty());
    EXPECT_EQ(queue.allocatedBytes(), RecordQueue::kBlockBytes) << "one block kept for the next records";

    RecordQueue few(3, 1024 * 1024);
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(few.push(ipv6.data(), ipv6.size()));
    }
    EXPECT_FALSE(few.push(ipv6.data(), ipv6.size())) << "bounded in records";
}
