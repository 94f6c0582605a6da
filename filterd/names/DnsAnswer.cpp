// SPDX-License-Identifier: GPL-3.0-or-later
#include "filterd/names/DnsAnswer.h"

#include <algorithm>
#include <cstring>
#include <netinet/in.h>

namespace Filterd {
namespace {

constexpr std::size_t kHeaderSize = 12;
constexpr std::uint16_t kResponseBit = 0x8000;
constexpr std::uint16_t kReplyCodeMask = 0x000f;
constexpr std::uint16_t kTypeA = 1;
constexpr std::uint16_t kTypeCname = 5;
constexpr std::uint16_t kTypeAaaa = 28;
constexpr std::uint16_t kClassInternet = 1;
constexpr std::size_t kMaxNameLength = 253;
constexpr std::size_t kMaxAliases = 8;

bool isHostNameByte(std::uint8_t c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

// Reads the message front to back; any read past its end fails the reader for good.
class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> message)
        : m_message(message) {}

    bool ok() const { return m_ok; }
    std::size_t at() const { return m_at; }

    std::uint16_t u16() {
        if (!has(2)) {
            return 0;
        }
        const auto value = static_cast<std::uint16_t>(m_message[m_at] << 8 | m_message[m_at + 1]);
        m_at += 2;
        return value;
    }

    void skip(std::size_t bytes) {
        if (has(bytes)) {
            m_at += bytes;
        }
    }

    std::span<const std::uint8_t> bytes(std::size_t count) {
        if (!has(count)) {
            return {};
        }
        const auto taken = m_message.subspan(m_at, count);
        m_at += count;
        return taken;
    }

    // A name at the read position, following compression pointers; the position moves past the
    // name as it is written there. Empty and the reader failed when it is damaged or not a host name.
    std::string name() {
        std::string text;
        std::size_t at = m_at;
        std::size_t resumeAt = 0;
        for (;;) {
            if (at >= m_message.size()) {
                return fail();
            }
            const std::uint8_t length = m_message[at];
            if ((length & 0xc0) == 0xc0) {
                if (at + 1 >= m_message.size()) {
                    return fail();
                }
                const std::size_t target = static_cast<std::size_t>(length & 0x3f) << 8 | m_message[at + 1];
                if (target >= at) { // only backwards, so a loop of pointers cannot exist
                    return fail();
                }
                if (resumeAt == 0) {
                    resumeAt = at + 2;
                }
                at = target;
                continue;
            }
            if (length & 0xc0) {
                return fail();
            }
            if (length == 0) {
                break;
            }
            if (at + 1 + length > m_message.size() || text.size() + length + 1 > kMaxNameLength + 1) {
                return fail();
            }
            const auto label = m_message.subspan(at + 1, length);
            if (!std::all_of(label.begin(), label.end(), isHostNameByte)) {
                return fail();
            }
            if (!text.empty()) {
                text += '.';
            }
            std::transform(label.begin(), label.end(), std::back_inserter(text), [](std::uint8_t c) {
                return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
            });
            at += 1 + length;
        }
        m_at = resumeAt != 0 ? resumeAt : at + 1;
        if (text.empty()) {
            return fail(); // the root is never a name a program asks for
        }
        return text;
    }

private:
    bool has(std::size_t count) {
        m_ok = m_ok && m_at + count <= m_message.size();
        return m_ok;
    }

    std::string fail() {
        m_ok = false;
        return {};
    }

    std::span<const std::uint8_t> m_message;
    std::size_t m_at = 0;
    bool m_ok = true;
};

} // namespace

std::optional<DnsAnswer> DnsAnswer::parse(std::span<const std::uint8_t> message) {
    if (message.size() < kHeaderSize) {
        return std::nullopt;
    }
    Reader reader(message);
    reader.skip(2); // the query's id: the resolver matched it already
    const std::uint16_t flags = reader.u16();
    const std::uint16_t questions = reader.u16();
    const std::uint16_t answers = reader.u16();
    reader.skip(4);
    if ((flags & kResponseBit) == 0 || (flags & kReplyCodeMask) != 0 || questions != 1 || answers == 0) {
        return std::nullopt;
    }
    DnsAnswer answer;
    answer.name = reader.name();
    reader.skip(4); // the question's type and class
    if (!reader.ok()) {
        return std::nullopt;
    }
    // The names that stand for the question: itself and the aliases it leads to, in order.
    std::vector<std::string> aliases{answer.name};
    for (std::uint16_t i = 0; i < answers && reader.ok(); ++i) {
        const std::string owner = reader.name();
        const std::uint16_t type = reader.u16();
        const std::uint16_t klass = reader.u16();
        reader.skip(4); // time to live
        const std::uint16_t length = reader.u16();
        const std::size_t dataAt = reader.at();
        const auto data = reader.bytes(length);
        if (!reader.ok()) {
            break;
        }
        const bool forQuestion = std::find(aliases.begin(), aliases.end(), owner) != aliases.end();
        if (klass != kClassInternet || !forQuestion) {
            continue;
        }
        if (type == kTypeCname && aliases.size() < kMaxAliases) {
            Reader target(message.first(dataAt + length));
            target.skip(dataAt);
            if (std::string alias = target.name(); target.ok()) {
                aliases.push_back(std::move(alias));
            }
        } else if ((type == kTypeA && length == 4) || (type == kTypeAaaa && length == 16)) {
            Address address{type == kTypeA ? AF_INET : AF_INET6, {}};
            std::memcpy(address.bytes.data(), data.data(), length);
            answer.addresses.push_back(address);
        }
    }
    if (answer.addresses.empty()) {
        return std::nullopt;
    }
    return answer;
}

std::optional<DnsAnswer> DnsAnswer::parseStream(std::span<const std::uint8_t> segment) {
    if (segment.size() < 2) {
        return std::nullopt;
    }
    const std::size_t length = static_cast<std::size_t>(segment[0]) << 8 | segment[1];
    return parse(segment.subspan(2, std::min(length, segment.size() - 2)));
}

} // namespace Filterd
