// SPDX-License-Identifier: GPL-3.0-or-later
#include "wire/ServiceReply.h"

#include "wire/KextCommandFrame.h"

#include <algorithm>
#include <cstring>

namespace Quilvane::Wire {
namespace {

void put32(std::vector<std::uint8_t>& out, std::size_t offset, std::uint32_t value) {
    std::memcpy(out.data() + offset, &value, sizeof value);
}

std::uint32_t get32(std::span<const std::uint8_t> in, std::size_t offset) {
    std::uint32_t value = 0;
    std::memcpy(&value, in.data() + offset, sizeof value);
    return value;
}

std::vector<std::uint8_t> frame(const ServiceReply& reply, std::span<const std::uint8_t> body) {
    std::vector<std::uint8_t> out(kReplyHeaderSize + body.size(), 0);
    put32(out, 0, kReplyCommand);
    put32(out, 4, static_cast<std::uint32_t>(reply.kind));
    put32(out, 8, reply.sequence);
    put32(out, 12, reply.count);
    std::memcpy(out.data() + 16, reply.code.data(), std::min(reply.code.size(), kReplyCodeSize));
    put32(out, 32, static_cast<std::uint32_t>(body.size()));
    std::copy(body.begin(), body.end(), out.begin() + kReplyHeaderSize);
    return out;
}

} // namespace

std::vector<std::uint8_t> encodeReply(const ServiceReply& reply) {
    const std::size_t length = std::min(reply.text.size(), kMaxReplyText);
    return frame(reply, std::span(reinterpret_cast<const std::uint8_t*>(reply.text.data()), length));
}

std::vector<std::vector<std::uint8_t>> encodeListReply(const std::vector<std::string>& names) {
    std::vector<std::vector<std::uint8_t>> messages;
    std::vector<std::uint8_t> body;
    std::uint32_t inPart = 0;
    const auto flush = [&] {
        if (inPart > 0) {
            messages.push_back(frame({ReplyKind::listPart, 0, inPart, {}, {}, {}}, body));
        }
        body.clear();
        inPart = 0;
    };
    for (const std::string& name : names) {
        // A name is never longer than the service keeps (255 bytes), so one always fits a part.
        if (body.size() + name.size() + 1 > kMaxReplyText) {
            flush();
        }
        body.insert(body.end(), name.begin(), name.end());
        body.push_back(0);
        ++inPart;
    }
    flush();
    messages.push_back(
        encodeReply({ReplyKind::listEnd, 0, static_cast<std::uint32_t>(names.size()), {}, {}, {}}));
    return messages;
}

std::optional<ServiceReply> decodeReply(std::span<const std::uint8_t> message) {
    if (message.size() < kReplyHeaderSize || get32(message, 0) != kReplyCommand) {
        return std::nullopt;
    }
    const std::uint32_t kind = get32(message, 4);
    const std::uint32_t length = get32(message, 32);
    if (kind > static_cast<std::uint32_t>(ReplyKind::listEnd) || length > kMaxReplyText ||
        length > message.size() - kReplyHeaderSize) {
        return std::nullopt;
    }
    ServiceReply reply;
    reply.kind = static_cast<ReplyKind>(kind);
    reply.sequence = get32(message, 8);
    reply.count = get32(message, 12);
    const auto* code = reinterpret_cast<const char*>(message.data() + 16);
    reply.code.assign(code, strnlen(code, kReplyCodeSize));
    const auto body = message.subspan(kReplyHeaderSize, length);
    if (reply.kind == ReplyKind::listPart) {
        auto names = decodeProcessNames(body);
        if (!names) {
            return std::nullopt;
        }
        reply.names = std::move(*names);
    } else {
        reply.text.assign(body.begin(), body.end());
    }
    return reply;
}

} // namespace Quilvane::Wire
