// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <string>

// The Linux stand-in for the kernel control facilities: a control is an AF_UNIX SOCK_SEQPACKET
// socket at a path, "looking it up" means the path exists and is a socket, and each message is one
// datagram of the control protocol. Every function reports failure through its result and leaves
// errno as the system set it; none of them prints anything.
class ControlSocket final {
public:
    ControlSocket() = delete;

    // A new close-on-exec SEQPACKET socket; never descriptor 0 (a descriptor of 0 means "no socket"
    // to callers). -1 on failure.
    static int create();

    // Whether `path` exists and is a socket.
    static bool lookup(const std::string& path);

    // connect(2) to the control at `path`; false when the path does not fit or nobody listens.
    static bool connect(int fd, const std::string& path);

    // Sends one message. A full send queue is waited for briefly (the caller may hold the socket
    // non-blocking); 0 on success, -1 on failure. Never raises SIGPIPE.
    static int send(int fd, const void* data, std::size_t length);
};
