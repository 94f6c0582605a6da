// SPDX-License-Identifier: GPL-3.0-or-later
#include "filterd/ConnectionEvent.h"

#include "wire/RecordExtension.h"

#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>

namespace Filterd {

std::size_t ConnectionEvent::toRecord(Quilvane::Wire::RecordBuffer& out, bool withHost) const {
    const std::size_t length = toPlainRecord(out);
    if (length == 0) {
        return 0;
    }
    const std::string_view name = withHost ? std::string_view(host) : std::string_view();
    const std::size_t extended = Quilvane::Wire::appendRecordExtension(out, length, uid, exe, script, name);
    // A name too long to carry costs the record its host, never its identity.
    return extended == length && !name.empty()
               ? Quilvane::Wire::appendRecordExtension(out, length, uid, exe, script)
               : extended;
}

std::size_t ConnectionEvent::toPlainRecord(Quilvane::Wire::RecordBuffer& out) const {
    using Quilvane::Wire::KextCommand;
    const auto command = blocked                            ? KextCommand::refusedAttempt
                         : direction == Direction::incoming ? KextCommand::incomingConnection
                                                            : KextCommand::outgoingConnection;
    if (family == AF_INET) {
        sockaddr_in in{};
        in.sin_family = AF_INET;
        in.sin_port = port;
        std::memcpy(&in.sin_addr, address.data(), sizeof in.sin_addr);
        return Quilvane::Wire::makeRecord(out, command, pid, reinterpret_cast<const sockaddr*>(&in));
    }
    if (family == AF_INET6) {
        sockaddr_in6 in6{};
        in6.sin6_family = AF_INET6;
        in6.sin6_port = port;
        std::memcpy(&in6.sin6_addr, address.data(), sizeof in6.sin6_addr);
        return Quilvane::Wire::makeRecord(out, command, pid, reinterpret_cast<const sockaddr*>(&in6));
    }
    return 0;
}

std::string ConnectionEvent::peerText() const {
    char host[INET6_ADDRSTRLEN] = "?";
    if (family == AF_INET || family == AF_INET6) {
        ::inet_ntop(family, address.data(), host, sizeof host);
    }
    const std::string proto = protocol == IPPROTO_UDP ? "udp " : protocol == IPPROTO_TCP ? "tcp " : "ip ";
    const std::string hostText = family == AF_INET6 ? "[" + std::string(host) + "]" : std::string(host);
    return proto + hostText + ":" + std::to_string(ntohs(port));
}

} // namespace Filterd
