// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "wire/KextRecord.h"
#include "wire/ServiceLimits.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Who made a connection, as the filter service knows it, carried after the 36 bytes of the record
// layout. A reader of the plain layout stops at byte 36 and loses nothing.
//
//   offset size field
//       36    2 magic          'Q' 'X'
//       38    1 version        1, or 2 when a host name follows
//       39    1 flags          0 (reserved)
//       40    4 uid            host byte order: the process's real user id
//       44    2 exe length     host byte order, bytes, no final NUL (0: unknown)
//       46    2 script length  host byte order, bytes, no final NUL (0: not a script)
//   version 1:
//       48    n exe, then script, UTF-8 or raw bytes as the kernel has them, no NUL inside
//   version 2:
//       48    2 host length    host byte order, bytes, no final NUL
//       50    n exe, then script, then host
//
// `exe` is the full path of the program the process runs where the service knows it, else its
// file name; `script` is the `#!` file it was started through, when there is one; `host` is the name
// the process looked up and got the peer's address for. The message ends exactly after the last
// name. An IPv4 record is padded with zeros to 36 bytes before the extension.
//
// Version 2 goes only to a client that said in its hello that it reads it, and only when a host
// name is known: a reader of version 1 gets every record it got before, whole.
namespace Quilvane::Wire {

inline constexpr std::size_t kRecordExtensionOffset = kRecordMinimumSize; // 36
inline constexpr std::size_t kRecordExtensionHeaderSize = 12;
inline constexpr std::size_t kRecordExtensionHostHeaderSize = 14;
inline constexpr std::uint8_t kRecordExtensionVersion = 1;
inline constexpr std::uint8_t kRecordExtensionHostVersion = 2;
// The longest name a record carries: the service's map key is 256 bytes with its final NUL.
inline constexpr std::size_t kRecordNameMaximum = kMaxNameLength;
static_assert(kRecordExtensionOffset + kRecordExtensionHostHeaderSize + 3 * kRecordNameMaximum <=
                  kRecordBufferSize,
              "the record buffer must hold the largest extension");

struct RecordIdentity {
    std::uint32_t uid = 0;
    std::string executable;
    std::string script;
    std::string host; // empty: none known

    bool operator==(const RecordIdentity&) const = default;
};

// Appends the extension to a record of `length` meaningful bytes (24 or 36): version 1 when `host`
// is empty, else version 2. Returns the new length, or `length` unchanged when a name is longer
// than kRecordNameMaximum or holds a NUL.
std::size_t appendRecordExtension(RecordBuffer& record, std::size_t length, std::uint32_t uid,
                                  std::string_view executable, std::string_view script,
                                  std::string_view host = {});

// The extension of a message of `length` bytes; nothing when it is absent, of another version, of a
// length that does not match the message, or when a name holds a NUL.
std::optional<RecordIdentity> recordExtension(const RecordBuffer& record, std::size_t length);

} // namespace Quilvane::Wire
