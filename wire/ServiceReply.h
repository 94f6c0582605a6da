// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

// The service's answers to a client's commands. A client that wants them says so with one
// hello message (level 2, option kHelloOption, no payload) after connecting; a client that never
// does gets none, so a reader of the plain record layout sees nothing new.
//
// A reply is shaped like a record so that such a reader, were one to get it, drops it: its command
// field is kReplyCommand, above the record commands 0–2.
//
//   offset size field
//        0    4 command   kReplyCommand
//        4    4 kind      ReplyKind
//        8    4 sequence  which block-list command of this client it answers (1 = the first after hello)
//       12    4 count     names in force (inForce), names in this part or list (listPart, listEnd)
//       16   16 code      short reason, ASCII, NUL-padded (refused)
//       32    4 length    bytes of text that follow
//       36 rest text      the reason for a person (refused), or names each ending in NUL (listPart)
//
// Every reply fits the reader's record buffer whole; a list in force comes in parts.
namespace Quilvane::Wire {

inline constexpr std::uint32_t kReplyCommand = 3;
inline constexpr std::int32_t kHelloOption = 2;
// A hello may carry 4 bytes (host byte order): the highest record extension version the client
// reads. Without them it reads version 1 (RecordExtension.h).
inline constexpr std::size_t kHelloVersionSize = 4;
// Asks for the sender's list in force. An empty payload: the sender's own list (the list for every
// process for root and administrators); a 4-byte owner: that list, which only root and
// administrators may ask for another user's or everyone's (owner kEveryoneOwner).
inline constexpr std::int32_t kListInForceOption = 3;
inline constexpr std::uint32_t kEveryoneOwner = 0xffffffffu;

inline constexpr std::size_t kReplyHeaderSize = 36;
inline constexpr std::size_t kReplyCodeSize = 16;
inline constexpr std::size_t kMaxReplyText = 512;

enum class ReplyKind : std::uint32_t {
    inForce = 0,  // the list of this command is enforced now
    refused = 1,  // it is not; the previous list stays; code and text say why
    waiting = 2,  // accepted and queued: the service is building it
    hello = 3,    // replies are on for this client
    listPart = 4, // some names of the list asked for
    listEnd = 5,  // the end of that list: count is the number of names in all; refused if unknown
};

struct ServiceReply {
    ReplyKind kind = ReplyKind::hello;
    std::uint32_t sequence = 0;
    std::uint32_t count = 0;
    std::string code;
    std::string text;               // the reason (refused)
    std::vector<std::string> names; // listPart
};

// One reply message; the text is cut to kMaxReplyText bytes.
std::vector<std::uint8_t> encodeReply(const ServiceReply& reply);
// The messages that carry `names` as one list in force: parts that each fit a reply, then listEnd.
std::vector<std::vector<std::uint8_t>> encodeListReply(const std::vector<std::string>& names);
// A reply, when `message` is one (command kReplyCommand and a sound layout); nothing otherwise.
std::optional<ServiceReply> decodeReply(std::span<const std::uint8_t> message);

} // namespace Quilvane::Wire
