// SPDX-License-Identifier: GPL-3.0-or-later
#include "wire/KextRecord.h"

#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>

namespace Quilvane::Wire {
namespace {

constexpr std::size_t kLengthOffset = 8;
constexpr std::size_t kFamilyOffset = 9;
constexpr std::size_t kPortOffset = 10;
constexpr std::size_t kIn4AddrOffset = 12;
constexpr std::size_t kIn6FlowOffset = 12;
constexpr std::size_t kIn6AddrOffset = 16;
constexpr std::size_t kIn6ScopeOffset = 32;

template <typename T>
T readHostOrder(const RecordBuffer& record, std::size_t offset)
{
    T value;
    std::memcpy(&value, record.data() + offset, sizeof value);
    return value;
}

} // namespace

std::uint32_t recordCommand(const RecordBuffer& record)
{
    return readHostOrder<std::uint32_t>(record, 0);
}

std::int32_t recordPid(const RecordBuffer& record)
{
    return readHostOrder<std::int32_t>(record, 4);
}

std::uint16_t recordPort(const RecordBuffer& record)
{
    const std::uint8_t family = record[kFamilyOffset];
    if (family != kBsdAfInet && family != kBsdAfInet6) {
        return 0;
    }
    return ntohs(readHostOrder<std::uint16_t>(record, kPortOffset));
}

std::optional<NativeAddress> recordNativeAddress(const RecordBuffer& record)
{
    const std::uint8_t length = record[kLengthOffset];
    const std::uint8_t family = record[kFamilyOffset];
    NativeAddress native;
    if (family == kBsdAfInet && length == kBsdSockaddrInSize) {
        sockaddr_in in{};
        in.sin_family = AF_INET;
        std::memcpy(&in.sin_port, record.data() + kPortOffset, sizeof in.sin_port);
        std::memcpy(&in.sin_addr, record.data() + kIn4AddrOffset, sizeof in.sin_addr);
        std::memcpy(&native.storage, &in, sizeof in);
        native.length = sizeof in;
        return native;
    }
    if (family == kBsdAfInet6 && length == kBsdSockaddrIn6Size) {
        sockaddr_in6 in6{};
        in6.sin6_family = AF_INET6;
        std::memcpy(&in6.sin6_port, record.data() + kPortOffset, sizeof in6.sin6_port);
        std::memcpy(&in6.sin6_flowinfo, record.data() + kIn6FlowOffset, sizeof in6.sin6_flowinfo);
        std::memcpy(&in6.sin6_addr, record.data() + kIn6AddrOffset, sizeof in6.sin6_addr);
        std::memcpy(&in6.sin6_scope_id, record.data() + kIn6ScopeOffset, sizeof in6.sin6_scope_id);
        std::memcpy(&native.storage, &in6, sizeof in6);
        native.length = sizeof in6;
        return native;
    }
    return std::nullopt;
}

int recordHostname(const RecordBuffer& record, char* host, std::size_t hostSize, NameResolver resolver)
{
    const auto native = recordNativeAddress(record);
    if (!native || host == nullptr || hostSize == 0) {
        return EAI_FAMILY;
    }
    return resolver(reinterpret_cast<const sockaddr*>(&native->storage), native->length, host,
                    static_cast<socklen_t>(hostSize), nullptr, 0, 0);
}

std::size_t makeRecord(RecordBuffer& out, KextCommand command, std::int32_t pid, const sockaddr* peer)
{
    out.fill(0);
    const auto commandValue = static_cast<std::uint32_t>(command);
    std::memcpy(out.data(), &commandValue, sizeof commandValue);
    std::memcpy(out.data() + 4, &pid, sizeof pid);
    if (peer == nullptr) {
        return 0;
    }
    if (peer->sa_family == AF_INET) {
        sockaddr_in in;
        std::memcpy(&in, peer, sizeof in);
        out[kLengthOffset] = kBsdSockaddrInSize;
        out[kFamilyOffset] = kBsdAfInet;
        std::memcpy(out.data() + kPortOffset, &in.sin_port, sizeof in.sin_port);
        std::memcpy(out.data() + kIn4AddrOffset, &in.sin_addr, sizeof in.sin_addr);
        return kRecordHeaderSize + kBsdSockaddrInSize;
    }
    if (peer->sa_family == AF_INET6) {
        sockaddr_in6 in6;
        std::memcpy(&in6, peer, sizeof in6);
        out[kLengthOffset] = kBsdSockaddrIn6Size;
        out[kFamilyOffset] = kBsdAfInet6;
        std::memcpy(out.data() + kPortOffset, &in6.sin6_port, sizeof in6.sin6_port);
        std::memcpy(out.data() + kIn6FlowOffset, &in6.sin6_flowinfo, sizeof in6.sin6_flowinfo);
        std::memcpy(out.data() + kIn6AddrOffset, &in6.sin6_addr, sizeof in6.sin6_addr);
        std::memcpy(out.data() + kIn6ScopeOffset, &in6.sin6_scope_id, sizeof in6.sin6_scope_id);
        return kRecordMinimumSize;
    }
    return 0;
}

} // namespace Quilvane::Wire
