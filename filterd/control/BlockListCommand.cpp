// SPDX-License-Identifier: GPL-3.0-or-later
#include "filterd/control/BlockListCommand.h"

#include "wire/KextCommandFrame.h"

#include <algorithm>
#include <string_view>
#include <unordered_set>

namespace Filterd {

std::vector<std::string> BlockListCommand::names() const {
    auto names = Quilvane::Wire::decodeProcessNames(m_payload);
    return names ? uniqueNames(*names) : std::vector<std::string>();
}

std::vector<std::string> BlockListCommand::uniqueNames(std::vector<std::string>& names) {
    std::unordered_set<std::string_view> seen;
    seen.reserve(names.size());
    std::vector<std::size_t> kept;
    kept.reserve(names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (!names[i].empty() && seen.insert(names[i]).second) {
            kept.push_back(i);
        }
    }
    seen.clear(); // its views point into `names`, which the moves below empty
    std::vector<std::string> unique;
    unique.reserve(kept.size());
    for (const std::size_t i : kept) {
        unique.push_back(std::move(names[i]));
    }
    return unique;
}

BlockListCommand BlockListCommand::refused(std::string reason) {
    BlockListCommand command;
    command.m_error = std::move(reason);
    return command;
}

BlockListCommand BlockListCommand::parse(std::span<const std::uint8_t> received, std::size_t messageLength) {
    using namespace Quilvane::Wire;
    BlockListCommand command;
    const auto refuse = [&command](std::string reason) {
        command.m_error = std::move(reason);
        command.m_payload.clear();
        command.m_nameCount = 0;
        return command;
    };

    if (messageLength > kCommandHeaderSize + kMaxCommandPayload || messageLength > received.size()) {
        return refuse("payload of " +
                      std::to_string(messageLength - std::min(messageLength, kCommandHeaderSize)) +
                      " bytes is over the limit of " + std::to_string(kMaxCommandPayload) + " bytes");
    }
    const auto message = parseCommand(received.first(messageLength));
    if (!message) {
        return refuse("message of " + std::to_string(messageLength) +
                      " bytes is shorter than the 8-byte header");
    }
    if (message->level != kSysprotoControl || message->option != kBlockListOption) {
        return refuse("unknown level " + std::to_string(message->level) + " / option " +
                      std::to_string(message->option));
    }
    // One pass over the bytes and no copy of any name: this runs on the event loop, and a list of
    // 65,536 names as strings would hold up record delivery for tens of milliseconds.
    const auto payload = message->payload;
    if (!payload.empty() && payload.back() != 0) {
        return refuse("the last name has no terminating NUL byte");
    }
    std::size_t length = 0;
    for (const std::uint8_t byte : payload) {
        if (byte != 0) {
            ++length;
            continue;
        }
        if (length > kMaxNameLength) {
            return refuse("a name of " + std::to_string(length) + " bytes is longer than " +
                          std::to_string(kMaxNameLength));
        }
        command.m_nameCount += length > 0;
        length = 0;
    }
    command.m_payload.assign(payload.begin(), payload.end());
    if (command.m_nameCount > kMaxNames) {
        const std::size_t unique = command.names().size();
        if (unique > kMaxNames) {
            return refuse(std::to_string(unique) + " names are more than the limit of " +
                          std::to_string(kMaxNames));
        }
    }
    return command;
}

} // namespace Filterd
