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

TEST(HostNameCacheTest, OneLookUpServesEveryRecordThatWaitsForIt) {
    HostNameCache cache;
    const QByteArray key = HostNameCache::keyFor(ipv4(0x0A000001, 80));
    EXPECT_EQ(key, HostNameCache::keyFor(ipv4(0x0A000001, 443))); // the port plays no part
    EXPECT_NE(key, HostNameCache::keyFor(ipv4(0x0A000002, 80)));

    bool mustResolve = false;
    EXPECT_FALSE(cache.findOrWait(key, {nullptr, 80}, mustResolve));
    EXPECT_TRUE(mustResolve);
    EXPECT_FALSE(cache.findOrWait(key, {nullptr, 443}, mustResolve));
    EXPECT_FALSE(mustResolve);

    const auto waiting = cache.complete(key, QStringLiteral("ten.example"));
    ASSERT_EQ(waiting.size(), 2u);
    EXPECT_EQ(waiting[0].port, 80);
    EXPECT_EQ(waiting[1].port, 443);

    EXPECT_EQ(cache.findOrWait(key, {nullptr, 22}, mustResolve), QStringLiteral("ten.example"));
    EXPECT_FALSE(mustResolve);
    EXPECT_TRUE(cache.complete(key, QStringLiteral("ten.example")).empty());
}

TEST(HostNameCacheTest, ForgetsNamesWhenTheyExpireOrAreCleared) {
    HostNameCache expiring(std::chrono::seconds(0));
    const QByteArray key = HostNameCache::keyFor(ipv4(1, 1));
    bool mustResolve = false;
    expiring.findOrWait(key, {}, mustResolve);
    expiring.complete(key, QStringLiteral("one"));
    EXPECT_FALSE(expiring.findOrWait(key, {}, mustResolve));
    EXPECT_TRUE(mustResolve);

    HostNameCache cache;
    cache.findOrWait(key, {}, mustResolve);
    cache.complete(key, QStringLiteral("one"));
    cache.clear();
    EXPECT_FALSE(cache.findOrWait(key, {}, mustResolve));
    EXPECT_TRUE(mustResolve);
}

TEST(HostNameCacheTest, StaysWithinItsCapacity) {
    HostNameCache cache(std::chrono::seconds(60), 8);
    bool mustResolve = false;
    for (std::uint32_t i = 0; i < 100; ++i) {
        const QByteArray key = HostNameCache::keyFor(ipv4(i, 1));
        cache.findOrWait(key, {}, mustResolve);
        cache.complete(key, QString::number(i));
    }
    const QByteArray last = HostNameCache::keyFor(ipv4(99, 1));
    EXPECT_EQ(cache.findOrWait(last, {}, mustResolve), QStringLiteral("99"));
    const QByteArray first = HostNameCache::keyFor(ipv4(0, 1));
    EXPECT_FALSE(cache.findOrWait(first, {}, mustResolve));
}
