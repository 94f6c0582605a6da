#pragma once

#include "kernel/wire/ServiceLimits.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace Filterd {

// One command message from a client, checked: the level and option of the block-list command, a
// payload of at most 1 MiB that ends in a NUL, and names that fit the kernel's name key. A valid
// command yields the names to block (unique, sorted, without empty names, which no executable can
// have); an invalid one yields a sentence that says why it was refused, and the current list
// stays as it is.
class BlockListCommand final {
public:
    // Shared with the application, which checks them before it sends.
    static constexpr std::size_t kMaxNameLength = Quilvane::Wire::kMaxNameLength;
    static constexpr std::size_t kMaxNames = Quilvane::Wire::kMaxBlockListNames;

    // `received` holds what was read; `messageLength` is the message's true length, which is
    // larger when the message did not fit the buffer.
    static BlockListCommand parse(std::span<const std::uint8_t> received, std::size_t messageLength);

    bool valid() const { return m_error.empty(); }
    const std::string& error() const { return m_error; }
    const std::vector<std::string>& names() const { return m_names; }

private:
    std::vector<std::string> m_names;
    std::string m_error;
};

} // namespace Filterd
