// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "wire/KextRecord.h"

#include <array>
#include <cstdint>
#include <functional>
#include <string>

namespace Filterd {

// One connection seen by a backend (the kernel programs or the simulator): who made it, to or from
// where, and whether it was refused. Turned into the wire record, with the extension that says who
// the process is, that goes to the clients of the process's owner.
struct ConnectionEvent {
    enum class Direction : std::uint8_t { incoming = 0, outgoing = 1 };

    std::int32_t pid = 0;
    std::uint32_t uid = 0;     // the process's owner (real user id)
    std::string exe;           // full path of the program it runs where known, else its file name
    std::string script;        // the #! file it was started through; empty when none
    std::string host;          // the name the process looked up and got the peer's address for
    int family = 0;            // AF_INET or AF_INET6
    std::uint8_t protocol = 0; // IPPROTO_TCP or IPPROTO_UDP
    Direction direction = Direction::outgoing;
    bool blocked = false;
    std::array<std::uint8_t, 16> address{}; // network byte order; IPv4 in the first four bytes
    std::uint16_t port = 0;                 // network byte order

    // The record of the control protocol with its extension; a refused attempt is command 2.
    // Returns its length, 0 for a family it cannot carry. With `withHost` the extension names the
    // host where one is known (version 2).
    std::size_t toRecord(Quilvane::Wire::RecordBuffer& out, bool withHost = false) const;

    // "tcp 127.0.0.1:80" / "udp [::1]:53", for log lines.
    std::string peerText() const;

private:
    std::size_t toPlainRecord(Quilvane::Wire::RecordBuffer& out) const;
};

using EventSink = std::function<void(const ConnectionEvent&)>;

} // namespace Filterd
