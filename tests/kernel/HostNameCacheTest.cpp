// SPDX-License-Identifier: GPL-3.0-or-later
#include "kernel/HostNameCache.h"

#include "tests/support/QtPrinters.h"

#include <gtest/gtest.h>
#include <netinet/in.h>

namespace {

Quilvane::Wire::NativeAddress ipv4(std::uint32_t address, std::uint16_t port) {
    Quilvane::Wire::NativeAddress native;
    auto* in = reinterpret_cast<sockaddr_in*>(&native.storage);
    in->sin_family = AF_INET;
    in->sin_addr.s_addr = htonl(address);
    in->sin_port = htons(port);
    native.length = sizeof(sockaddr_in);
    return native;
}

} // namespace

HostNameCache::Name named(const char* hostname) {
    return {QString::fromLatin1(hostname), Connection::HostOrigin::reverseLookup};
}

TEST(HostNameCacheTest, OneLookUpServesEveryRecordThatWaitsForIt) {
    HostNameCache cache;
    const QByteArray key = HostNameCache::keyFor(ipv4(0x0A000001, 80));
    EXPECT_EQ(key, HostNameCache::keyFor(ipv4(0x0A000001, 443))); // the port plays no part
    EXPECT_NE(key, HostNameCache::keyFor(ipv4(0x0A000002, 80)));
    EXPECT_EQ(HostNameCache::numericHost(key), QStringLiteral("10.0.0.1"));

    auto first = cache.findOrWait(key, {nullptr, 80});
    EXPECT_FALSE(first.name);
    EXPECT_TRUE(first.startWorker);
    auto second = cache.findOrWait(key, {nullptr, 443});
    EXPECT_FALSE(second.name);
    EXPECT_FALSE(second.startWorker);
    EXPECT_EQ(cache.nextLookup(), key);
    EXPECT_FALSE(cache.nextLookup()); // the worker stops

    const auto waiting = cache.complete(key, named("ten.example"));
    ASSERT_EQ(waiting.size(), 2u);
    EXPECT_EQ(waiting[0].port, 80);
    EXPECT_EQ(waiting[1].port, 443);

    const auto known = cache.findOrWait(key, {nullptr, 22});
    ASSERT_TRUE(known.name);
    EXPECT_EQ(known.name->hostname, QStringLiteral("ten.example"));
    EXPECT_EQ(known.name->origin, Connection::HostOrigin::reverseLookup);
    EXPECT_FALSE(known.startWorker);
    EXPECT_TRUE(cache.complete(key, named("ten.example")).empty());
}

TEST(HostNameCacheTest, ForgetsNamesWhenTheyExpireOrAreCleared) {
    HostNameCache expiring({.lifetime = std::chrono::seconds(0)});
    const QByteArray key = HostNameCache::keyFor(ipv4(1, 1));
    expiring.findOrWait(key, {});
    expiring.complete(key, named("one"));
    EXPECT_FALSE(expiring.findOrWait(key, {}).name);

    HostNameCache cache;
    cache.findOrWait(key, {});
    cache.complete(key, named("one"));
    cache.clear();
    EXPECT_FALSE(cache.findOrWait(key, {}).name);
}

TEST(HostNameCacheTest, StaysWithinItsCapacity) {
    HostNameCache cache({.lifetime = std::chrono::seconds(60), .names = 8});
    for (std::uint32_t i = 0; i < 100; ++i) {
        const QByteArray key = HostNameCache::keyFor(ipv4(i, 1));
        cache.findOrWait(key, {});
        cache.complete(key, named(std::to_string(i).c_str()));
    }
    const QByteArray last = HostNameCache::keyFor(ipv4(99, 1));
    EXPECT_EQ(cache.findOrWait(last, {}).name->hostname, QStringLiteral("99"));
    const QByteArray first = HostNameCache::keyFor(ipv4(0, 1));
    EXPECT_FALSE(cache.findOrWait(first, {}).name);
}

// Look-ups that never complete: workers, queued addresses and waiting records each stop at their
// bound, and what goes is the oldest, handed back rather than lost.
TEST(HostNameCacheTest, LookUpsThatNeverAnswerCostABoundedAmount) {
    HostNameCache cache({.workers = 2, .queuedLookups = 3, .waitingRecords = 6});
    int workers = 0;
    std::vector<int> dropped;
    const auto wait = [&](std::uint32_t address, int port) {
        auto result = cache.findOrWait(HostNameCache::keyFor(ipv4(address, 1)), {nullptr, port});
        workers += result.startWorker ? 1 : 0;
        for (const auto& record : result.dropped) {
            dropped.push_back(record.pending.port);
            EXPECT_EQ(record.key, HostNameCache::keyFor(ipv4(record.pending.port / 100, 1)));
        }
    };
    // Addresses 1 and 2 are taken by the two workers, and hang; 3 to 5 fill the queue.
    for (std::uint32_t address = 1; address <= 5; ++address) {
        wait(address, static_cast<int>(address) * 100);
        if (address <= 2) {
            EXPECT_EQ(cache.nextLookup(), HostNameCache::keyFor(ipv4(address, 1)));
        }
    }
    EXPECT_EQ(workers, 2);
    EXPECT_TRUE(dropped.empty());
    // A sixth address pushes out the oldest queued one (3), never one a worker runs.
    wait(6, 600);
    EXPECT_EQ(dropped, std::vector<int>{300});
    // Records pile up behind the hung address 1: past six waiting, the oldest go first.
    wait(1, 101);
    wait(1, 102);
    wait(1, 103);
    EXPECT_EQ(dropped, (std::vector<int>{300, 100, 200}));
    EXPECT_EQ(workers, 2);

    // The hung look-up still completes the records that are left.
    const auto ready = cache.complete(HostNameCache::keyFor(ipv4(1, 1)), named("one"));
    ASSERT_EQ(ready.size(), 3u);
    EXPECT_EQ(ready.front().port, 101);
}
