// SPDX-License-Identifier: GPL-3.0-or-later
#include "wire/KextRecord.h"

#include <arpa/inet.h>
#include <cstring>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string>

using namespace Quilvane::Wire;

namespace {

RecordBuffer ipv4Record(const char* address, std::uint16_t port) {
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = htons(port);
    inet_pton(AF_INET, address, &in.sin_addr);
    RecordBuffer record;
    makeRecord(record, KextCommand::outgoingConnection, 4242, reinterpret_cast<const sockaddr*>(&in));
    return record;
}

RecordBuffer ipv6Record(const char* address, std::uint16_t port, std::uint32_t scope = 0) {
    sockaddr_in6 in6{};
    in6.sin6_family = AF_INET6;
    in6.sin6_port = htons(port);
    in6.sin6_scope_id = scope;
    inet_pton(AF_INET6, address, &in6.sin6_addr);
    RecordBuffer record;
    makeRecord(record, KextCommand::incomingConnection, 7, reinterpret_cast<const sockaddr*>(&in6));
    return record;
}

int numericOnly(const sockaddr* address, socklen_t length, char* host, socklen_t hostLength, char* service,
                socklen_t serviceLength, int flags) {
    return ::getnameinfo(address, length, host, hostLength, service, serviceLength, flags | NI_NUMERICHOST);
}

int resolverCalls = 0;
int countingFailure(const sockaddr*, socklen_t, char*, socklen_t, char*, socklen_t, int) {
    ++resolverCalls;
    return EAI_AGAIN;
}

socklen_t seenLength = 0;
int seenFlags = -1;
bool seenService = true;
int recordingResolver(const sockaddr*, socklen_t length, char* host, socklen_t, char* service, socklen_t,
                      int flags) {
    seenLength = length;
    seenFlags = flags;
    seenService = service != nullptr;
    std::strcpy(host, "example.org");
    return 0;
}

} // namespace

TEST(KextRecordTest, ReadsTheHeaderInHostOrderAndThePortInNetworkOrder) {
    RecordBuffer record{};
    const std::uint32_t command = 1;
    const std::int32_t pid = -5;
    std::memcpy(record.data(), &command, 4);
    std::memcpy(record.data() + 4, &pid, 4);
    record[8] = 28;
    record[9] = kBsdAfInet6;
    record[10] = 0x01;
    record[11] = 0xBB;
    EXPECT_EQ(recordCommand(record), 1u);
    EXPECT_EQ(recordPid(record), -5);
    EXPECT_EQ(recordPort(record), 443);

    record[9] = kBsdAfInet;
    EXPECT_EQ(recordPort(record), 443);
    // Only the two known families carry a port.
    for (const std::uint8_t family : {0, 1, 10, 28, 31, 255}) {
        record[9] = family;
        EXPECT_EQ(recordPort(record), 0) << "family " << int(family);
    }
}

TEST(KextRecordTest, MakeRecordWritesTheBsdLayout) {
    const RecordBuffer v4 = ipv4Record("192.0.2.7", 8080);
    EXPECT_EQ(recordCommand(v4), 1u);
    EXPECT_EQ(recordPid(v4), 4242);
    EXPECT_EQ(v4[8], 16);
    EXPECT_EQ(v4[9], 2);
    EXPECT_EQ(v4[10], 0x1F);
    EXPECT_EQ(v4[11], 0x90);
    EXPECT_EQ(v4[12], 192);
    EXPECT_EQ(v4[15], 7);

    const RecordBuffer v6 = ipv6Record("2001:db8::1", 443, 3);
    EXPECT_EQ(recordCommand(v6), 0u);
    EXPECT_EQ(v6[8], 28);
    EXPECT_EQ(v6[9], 30);
    EXPECT_EQ(v6[16], 0x20);
    EXPECT_EQ(v6[31], 0x01);
    EXPECT_EQ(v6[32], 3);

    RecordBuffer other;
    sockaddr local{};
    local.sa_family = AF_UNIX;
    EXPECT_EQ(makeRecord(other, KextCommand::outgoingConnection, 1, &local), 0u);
    EXPECT_EQ(makeRecord(other, KextCommand::outgoingConnection, 1, nullptr), 0u);
}

TEST(KextRecordTest, NativeAddressNeedsALengthThatMatchesTheFamily) {
    RecordBuffer v4 = ipv4Record("192.0.2.7", 80);
    ASSERT_TRUE(recordNativeAddress(v4));
    EXPECT_EQ(recordNativeAddress(v4)->length, sizeof(sockaddr_in));

    RecordBuffer v6 = ipv6Record("::1", 80);
    ASSERT_TRUE(recordNativeAddress(v6));
    EXPECT_EQ(recordNativeAddress(v6)->length, sizeof(sockaddr_in6));

    v4[8] = 28; // an IPv4 family with the IPv6 length
    EXPECT_FALSE(recordNativeAddress(v4));
    v6[8] = 255; // a length that would run past the record
    EXPECT_FALSE(recordNativeAddress(v6));
    v6[8] = 0;
    EXPECT_FALSE(recordNativeAddress(v6));
    RecordBuffer zero{};
    EXPECT_FALSE(recordNativeAddress(zero));
}

TEST(KextRecordTest, HostnameGivesTheNumericFormAndKeepsTheBufferOnFailure) {
    char host[NI_MAXHOST] = {};
    EXPECT_EQ(recordHostname(ipv4Record("192.0.2.7", 80), host, sizeof host, &numericOnly), 0);
    EXPECT_STREQ(host, "192.0.2.7");
    EXPECT_EQ(recordHostname(ipv6Record("2001:db8::5", 80), host, sizeof host, &numericOnly), 0);
    EXPECT_STREQ(host, "2001:db8::5");

    std::strcpy(host, "kept");
    resolverCalls = 0;
    EXPECT_NE(recordHostname(ipv4Record("192.0.2.7", 80), host, sizeof host, &countingFailure), 0);
    EXPECT_EQ(resolverCalls, 1);
    EXPECT_STREQ(host, "kept");

    // A record whose address cannot be valid never reaches the resolver.
    RecordBuffer bad = ipv4Record("192.0.2.7", 80);
    bad[9] = 0;
    EXPECT_EQ(recordHostname(bad, host, sizeof host, &countingFailure), EAI_FAMILY);
    EXPECT_EQ(resolverCalls, 1);
    EXPECT_STREQ(host, "kept");
    EXPECT_EQ(recordHostname(ipv4Record("192.0.2.7", 80), nullptr, 0, &countingFailure), EAI_FAMILY);
    EXPECT_EQ(resolverCalls, 1);
}

TEST(KextRecordTest, HostnameAsksForANameWithoutService) {
    char host[NI_MAXHOST] = {};
    EXPECT_EQ(recordHostname(ipv6Record("::1", 80), host, sizeof host, &recordingResolver), 0);
    EXPECT_STREQ(host, "example.org");
    EXPECT_EQ(seenLength, sizeof(sockaddr_in6));
    EXPECT_EQ(seenFlags, 0);
    EXPECT_FALSE(seenService);
}
