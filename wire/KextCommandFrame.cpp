// SPDX-License-Identifier: GPL-3.0-or-later
#include "wire/KextCommandFrame.h"

#include <algorithm>
#include <cstring>

namespace Quilvane::Wire {

std::vector<std::uint8_t> frameCommand(std::int32_t level, std::int32_t option, const void* data,
                                       std::size_t length)
{
    std::vector<std::uint8_t> message(kCommandHeaderSize + (data != nullptr ? length : 0));
    std::memcpy(message.data(), &level, sizeof level);
    std::memcpy(message.data() + 4, &option, sizeof option);
    if (data != nullptr && length > 0) {
        std::memcpy(message.data() + kCommandHeaderSize, data, length);
    }
    return message;
}

std::optional<std::vector<std::vector<std::uint8_t>>> frameBlockList(std::span<const std::uint8_t> names)
{
    if (!names.empty() && names.back() != 0) {
        return std::nullopt;
    }
    std::vector<std::vector<std::uint8_t>> messages;
    std::size_t start = 0;
    while (names.size() - start > kMaxMessagePayload) {
        // Cut after the last NUL that fits; a name is never longer than a part can hold.
        const auto window = names.subspan(start, kMaxMessagePayload);
        const auto lastEnd = std::find(window.rbegin(), window.rend(), std::uint8_t{0});
        const std::size_t length = static_cast<std::size_t>(window.rend() - lastEnd);
        if (lastEnd == window.rend() || length == 0) {
            return std::nullopt;
        }
        messages.push_back(frameCommand(kSysprotoControl, kBlockListPartOption, names.data() + start, length));
        start += length;
    }
    const std::size_t rest = names.size() - start;
    messages.push_back(frameCommand(kSysprotoControl, kBlockListOption, rest > 0 ? names.data() + start : nullptr,
                                    rest));
    return messages;
}

std::optional<KextCommandMessage> parseCommand(std::span<const std::uint8_t> message)
{
    if (message.size() < kCommandHeaderSize) {
        return std::nullopt;
    }
    KextCommandMessage command;
    std::memcpy(&command.level, message.data(), sizeof command.level);
    std::memcpy(&command.option, message.data() + 4, sizeof command.option);
    command.payload = message.subspan(kCommandHeaderSize);
    return command;
}

std::optional<std::vector<std::uint8_t>> encodeProcessNames(const std::vector<std::string>& names)
{
    if (names.empty()) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> payload;
    for (const auto& name : names) {
        if (name.find('\0') != std::string::npos) {
            return std::nullopt;
        }
        payload.insert(payload.end(), name.begin(), name.end());
        payload.push_back(0);
    }
    return payload;
}

std::optional<std::vector<std::string>> decodeProcessNames(std::span<const std::uint8_t> payload)
{
    std::vector<std::string> names;
    if (payload.empty()) {
        return names;
    }
    if (payload.back() != 0) {
        return std::nullopt;
    }
    auto start = payload.begin();
    while (start != payload.end()) {
        const auto end = std::find(start, payload.end(), std::uint8_t{0});
        names.emplace_back(start, end);
        start = end + 1;
    }
    return names;
}

} // namespace Quilvane::Wire
