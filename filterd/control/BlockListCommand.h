// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "wire/ServiceLimits.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace Filterd {

// One command message from a client, checked: the level and option of the block-list command, a
// payload of at most 1 MiB that ends in a NUL, and names that fit the kernel's name key. A valid
// command yields the names to block (unique, in the order first sent, without empty names, which no
// executable can have); an invalid one yields a sentence that says why it was refused, and the current list
// stays as it is.
class BlockListCommand final {
public:
    // Shared with the application, which checks them before it sends.
    static constexpr std::size_t kMaxNameLength = Quilvane::Wire::kMaxNameLength;
    static constexpr std::size_t kMaxNames = Quilvane::Wire::kMaxBlockListNames;

    // `received` holds what was read; `messageLength` is the message's true length, which is
    // larger when the message did not fit the buffer.
    static BlockListCommand parse(std::span<const std::uint8_t> received, std::size_t messageLength);

    // A command refused for `reason`, which no message could tell.
    static BlockListCommand refused(std::string reason);

    bool valid() const { return m_error.empty(); }
    const std::string& error() const { return m_error; }
    // The names, unique and in the order first sent; built on each call.
    std::vector<std::string> names() const;
    // The names as they arrived, each ending in a NUL: what a consumer that hashes them reads.
    std::span<const std::uint8_t> payload() const { return m_payload; }
    // Non-empty names, repeats included; 0 means the command empties the list.
    std::size_t nameCount() const { return m_nameCount; }

    // Which command of the service this is, so that its outcome finds its sender; 0 for none.
    std::uint64_t ticket() const { return m_ticket; }
    void setTicket(std::uint64_t ticket) { m_ticket = ticket; }

private:
    static std::vector<std::string> uniqueNames(std::vector<std::string>& names);

    std::vector<std::uint8_t> m_payload;
    std::size_t m_nameCount = 0;
    std::uint64_t m_ticket = 0;
    std::string m_error;
};

} // namespace Filterd
