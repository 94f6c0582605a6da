// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "wire/ServiceLimits.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

// The one command, application to filter: a single message holding a 4-byte level (always 2), a
// 4-byte option (0, the block list), both in host byte order, then the payload bytes. The payload is
// the names to block, each as UTF-8 followed by one 0x00 byte, concatenated in order; an empty
// payload blocks nothing.
namespace Quilvane::Wire {

inline constexpr std::int32_t kSysprotoControl = 2;
inline constexpr std::int32_t kBlockListOption = 0;
inline constexpr std::size_t kCommandHeaderSize = 8;

// A list larger than one message may be is sent in parts: every message but the last has this
// option and holds whole names; the service keeps them for the sender and applies them together
// with the names of the final block-list message, as one list. An empty list is one empty message.
// A service that predates parts refuses them and keeps its list until the final message.
inline constexpr std::int32_t kBlockListPartOption = 1;

// The largest payload a client puts in one message. A SEQPACKET message must fit the sender's
// socket buffer whole, and an unprivileged user gets at most twice net.core.wmem_max, which stock
// kernels set to 212992 bytes: 64 KiB fits with room to spare.
inline constexpr std::size_t kMaxMessagePayload = 64 * 1024;

// One command message: header then payload (setsockopt's level, option, data, length).
std::vector<std::uint8_t> frameCommand(std::int32_t level, std::int32_t option, const void* data,
                                       std::size_t length);

struct KextCommandMessage {
    std::int32_t level = 0;
    std::int32_t option = 0;
    std::span<const std::uint8_t> payload;
};

// The messages that carry the block-list payload `names` (each name followed by one 0x00 byte):
// parts of at most kMaxMessagePayload bytes cut between names, the last one a block-list command.
// Nothing when `names` does not end in 0x00.
std::optional<std::vector<std::vector<std::uint8_t>>> frameBlockList(std::span<const std::uint8_t> names);

// Splits a received message; nothing when it is shorter than the header.
std::optional<KextCommandMessage> parseCommand(std::span<const std::uint8_t> message);

// Every name followed by one 0x00 byte, in order; nothing for an empty list. The names are taken
// as UTF-8 already; a name holding a 0x00 byte cannot be framed and gives nothing.
std::optional<std::vector<std::uint8_t>> encodeProcessNames(const std::vector<std::string>& names);

// The names of a block-list payload; nothing when the payload does not end in 0x00.
std::optional<std::vector<std::string>> decodeProcessNames(std::span<const std::uint8_t> payload);

} // namespace Quilvane::Wire
