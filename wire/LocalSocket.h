// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "wire/UniqueFd.h"

#include <chrono>
#include <string>
#include <sys/un.h>

// The small socket steps both programs take on the control socket (an AF_UNIX SOCK_SEQPACKET
// socket at a path), written once so that the two sides read an empty message and a hang-up alike.
namespace Quilvane::Wire::LocalSocket {

// `address` for `path`; false (and ENAMETOOLONG) when the path is empty or does not fit sun_path.
bool fillAddress(const std::string& path, sockaddr_un& address);

// A new SEQPACKET socket, close-on-exec; invalid on failure with errno set.
UniqueFd createSeqpacket();

// connect(2) to the socket at `path`, retried on EINTR; false with errno set on failure.
bool connectTo(int fd, const std::string& path);

// Whether the other end has closed or shut down its side, waiting at most `wait` for it.
bool hasHungUp(int fd, std::chrono::milliseconds wait = std::chrono::milliseconds(0));

// A read of 0 bytes on a SEQPACKET socket is either an empty message, which is dropped, or the end
// of the stream: the peer is gone only when it hung up and nothing else is queued to read.
bool emptyReadEndsStream(int fd);

} // namespace Quilvane::Wire::LocalSocket
