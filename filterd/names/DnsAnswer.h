// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace Filterd {

// What a DNS answer tells about the name a program looked up: the name it asked for and the
// addresses it got for it, directly or through a chain of aliases (CNAME).
//
// The message comes from the network and may be truncated (only its first bytes are copied),
// damaged or hostile: every read is bounded, compression pointers may only point backwards, and a
// name that is not plain host-name text (letters, digits, '-', '_') is not taken, so nothing
// that reaches a window or the journal can carry control characters.
struct DnsAnswer {
    struct Address {
        int family = 0;                       // AF_INET or AF_INET6
        std::array<std::uint8_t, 16> bytes{}; // network byte order; IPv4 in the first four

        bool operator==(const Address&) const = default;
    };

    std::string name; // lower case, without the final dot
    std::vector<Address> addresses;

    // A successful response with one question and at least one address for it; nothing otherwise.
    // Answers past the end of a cut message are lost, the ones before it are kept.
    static std::optional<DnsAnswer> parse(std::span<const std::uint8_t> message);
    // The same over TCP, where the message follows its two-byte length.
    static std::optional<DnsAnswer> parseStream(std::span<const std::uint8_t> segment);
};

} // namespace Filterd
