// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <netdb.h>
#include <optional>
#include <sys/socket.h>

// One connection record, filter to application, one per message:
//
//   offset size field
//        0    4 command   unsigned, host byte order: 0 incoming, 1 outgoing, 2 refused attempt
//        4    4 pid       signed, host byte order
//        8    1 sa_len    16 for IPv4, 28 for IPv6
//        9    1 family    2 (IPv4) or 30 (IPv6), the BSD values
//       10    2 port      network byte order
//       12 rest address   remainder of the BSD sockaddr_in / sockaddr_in6
//
// The reader always works on a zero-filled buffer of kRecordBufferSize bytes, so every offset below
// is in range whatever arrived; the host-name lookup still checks the length byte against the family
// before it touches the address, so a forged length never reads past the buffer.
namespace Quilvane::Wire {

// Room for the record and its largest extension (RecordExtension.h).
inline constexpr std::size_t kRecordBufferSize = 832;
inline constexpr std::size_t kRecordHeaderSize = 8;
inline constexpr std::size_t kBsdSockaddrInSize = 16;
inline constexpr std::size_t kBsdSockaddrIn6Size = 28;
inline constexpr std::size_t kRecordMinimumSize = kRecordHeaderSize + kBsdSockaddrIn6Size; // 36
inline constexpr std::uint8_t kBsdAfInet = 2;
inline constexpr std::uint8_t kBsdAfInet6 = 30;

// A refused attempt (2) is no connection; a reader of the plain layout drops it as unknown.
enum class KextCommand : std::uint32_t { incomingConnection = 0, outgoingConnection = 1, refusedAttempt = 2 };

using RecordBuffer = std::array<std::uint8_t, kRecordBufferSize>;

std::uint32_t recordCommand(const RecordBuffer& record);
std::int32_t recordPid(const RecordBuffer& record);

// The peer port in host order when the family byte is 2 or 30; otherwise 0.
std::uint16_t recordPort(const RecordBuffer& record);

// The peer as a native socket address, when the family byte is 2 or 30 and the length byte matches
// it; nothing otherwise.
struct NativeAddress {
    sockaddr_storage storage{};
    socklen_t length = 0;
};
std::optional<NativeAddress> recordNativeAddress(const RecordBuffer& record);

// getnameinfo with a name look-up, falling back to the numeric form, no service. Returns
// getnameinfo's result (EAI_FAMILY for an address recordNativeAddress refuses); on failure `host`
// keeps what it held.
using NameResolver = int (*)(const sockaddr*, socklen_t, char*, socklen_t, char*, socklen_t, int);
int recordHostname(const RecordBuffer& record, char* host, std::size_t hostSize,
                   NameResolver resolver = &::getnameinfo);

// Builds the record for a native IPv4 or IPv6 peer address (the filter service's side).
// Returns the number of meaningful bytes (24 for IPv4, 36 for IPv6), 0 for another family.
std::size_t makeRecord(RecordBuffer& out, KextCommand command, std::int32_t pid, const sockaddr* peer);

} // namespace Quilvane::Wire
