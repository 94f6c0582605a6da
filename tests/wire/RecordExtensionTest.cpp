// SPDX-License-Identifier: GPL-3.0-or-later
#include "wire/RecordExtension.h"

#include <arpa/inet.h>
#include <cstring>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string>

using namespace Quilvane::Wire;

namespace {

std::size_t ipv4Record(RecordBuffer& record) {
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = htons(443);
    inet_pton(AF_INET, "192.0.2.1", &in.sin_addr);
    return makeRecord(record, KextCommand::outgoingConnection, 99, reinterpret_cast<const sockaddr*>(&in));
}

std::size_t ipv6Record(RecordBuffer& record) {
    sockaddr_in6 in6{};
    in6.sin6_family = AF_INET6;
    in6.sin6_port = htons(443);
    inet_pton(AF_INET6, "2001:db8::1", &in6.sin6_addr);
    return makeRecord(record, KextCommand::outgoingConnection, 98, reinterpret_cast<const sockaddr*>(&in6));
}

} // namespace

// An IPv6 record fills the 36 bytes exactly: its identity follows with no padding.
TEST(RecordExtensionTest, IdentityTravelsAfterAnIpv6RecordOfExactlyTheFixedLength) {
    RecordBuffer record;
    const std::size_t plain = ipv6Record(record);
    ASSERT_EQ(plain, kRecordExtensionOffset);
    const std::size_t length = appendRecordExtension(record, plain, 1002, "/usr/bin/curl", "");
    EXPECT_EQ(recordExtension(record, length), (RecordIdentity{1002, "/usr/bin/curl", "", ""}));
}

TEST(RecordExtensionTest, IdentityTravelsAfterAPaddedIpv4RecordThatPlainReadersStillRead) {
    RecordBuffer record;
    record.fill(0xEE);
    const std::size_t plain = ipv4Record(record);
    const std::size_t length =
        appendRecordExtension(record, plain, 1001, "/usr/bin/python3.11", "/home/a/fetch");

    EXPECT_EQ(length, kRecordExtensionOffset + kRecordExtensionHeaderSize + 19 + 13);
    EXPECT_EQ(record[24], 0) << "IPv4 padded with zeros up to byte 36";
    EXPECT_EQ(recordPid(record), 99);
    EXPECT_EQ(recordPort(record), 443);
    EXPECT_EQ(recordExtension(record, length),
              (RecordIdentity{1001, "/usr/bin/python3.11", "/home/a/fetch", ""}));
}

TEST(RecordExtensionTest, DamagedOrForeignExtensionsAreIgnored) {
    RecordBuffer record;
    const std::size_t length = appendRecordExtension(record, ipv4Record(record), 7, "/bin/prog", "");
    ASSERT_TRUE(recordExtension(record, length));

    EXPECT_FALSE(recordExtension(record, kRecordMinimumSize)) << "plain record";
    EXPECT_FALSE(recordExtension(record, length - 1)) << "names without their end";
    EXPECT_FALSE(recordExtension(record, length + 1)) << "bytes past the names";
    EXPECT_FALSE(recordExtension(record, record.size() + 1)) << "longer than the buffer";

    RecordBuffer otherVersion = record;
    otherVersion[kRecordExtensionOffset + 2] = 3;
    EXPECT_FALSE(recordExtension(otherVersion, length));

    RecordBuffer nulInName = record;
    nulInName[kRecordExtensionOffset + kRecordExtensionHeaderSize + 3] = 0;
    EXPECT_FALSE(recordExtension(nulInName, length));
}

TEST(RecordExtensionTest, NamesTheRecordCannotCarryLeaveThePlainRecord) {
    RecordBuffer record;
    const std::size_t plain = ipv4Record(record);
    EXPECT_EQ(appendRecordExtension(record, plain, 0, std::string(kRecordNameMaximum + 1, 'x'), ""), plain);
    EXPECT_EQ(appendRecordExtension(record, plain, 0, std::string("a\0b", 3), ""), plain);
    const std::size_t longest = appendRecordExtension(record, plain, 0, std::string(kRecordNameMaximum, 'x'),
                                                      std::string(kRecordNameMaximum, 'y'));
    EXPECT_EQ(recordExtension(record, longest)->script, std::string(kRecordNameMaximum, 'y'));
}

// Version 2 is written only with a host name, so every record without one stays readable by a
// reader of version 1; the three longest names fit the reader's buffer.
TEST(RecordExtensionTest, AHostNameTravelsInVersionTwoAndOnlyWhenThereIsOne) {
    RecordBuffer record;
    const std::size_t plain = ipv4Record(record);
    const std::size_t withHost =
        appendRecordExtension(record, plain, 1000, "/usr/bin/curl", "", "api.example.org");
    EXPECT_EQ(record[kRecordExtensionOffset + 2], kRecordExtensionHostVersion);
    EXPECT_EQ(recordExtension(record, withHost),
              (RecordIdentity{1000, "/usr/bin/curl", "", "api.example.org"}));
    EXPECT_FALSE(recordExtension(record, withHost - 1));

    const std::size_t withoutHost = appendRecordExtension(record, plain, 1000, "/usr/bin/curl", "", "");
    EXPECT_EQ(record[kRecordExtensionOffset + 2], kRecordExtensionVersion);
    EXPECT_EQ(recordExtension(record, withoutHost)->host, "");

    const std::string longest(kRecordNameMaximum, 'x');
    const std::size_t full = appendRecordExtension(record, plain, 0, longest, longest, longest);
    ASSERT_LE(full, record.size());
    EXPECT_EQ(recordExtension(record, full)->host, longest);
}
