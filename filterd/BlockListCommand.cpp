#include "filterd/BlockListCommand.h"

#include "kernel/wire/KextCommandFrame.h"

#include <algorithm>

namespace Filterd {

BlockListCommand BlockListCommand::parse(std::span<const std::uint8_t> received, std::size_t messageLength) {
    using namespace Quilvane::Wire;
    BlockListCommand command;
    const auto refuse = [&command](std::string reason) {
        command.m_error = std::move(reason);
        command.m_names.clear();
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
    auto names = decodeProcessNames(message->payload);
    if (!names) {
        return refuse("the last name has no terminating NUL byte");
    }
    for (const auto& name : *names) {
        if (name.size() > kMaxNameLength) {
            return refuse("a name of " + std::to_string(name.size()) + " bytes is longer than " +
                          std::to_string(kMaxNameLength));
        }
    }
    std::erase_if(*names, [](const std::string& name) { return name.empty(); });
    std::sort(names->begin(), names->end());
    names->erase(std::unique(names->begin(), names->end()), names->end());
    if (names->size() > kMaxNames) {
        return refuse(std::to_string(names->size()) + " names are more than the limit of " +
                      std::to_string(kMaxNames));
    }
    command.m_names = std::move(*names);
    return command;
}

} // namespace Filterd
