// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

// The socket-level functions under the filter client. They work on descriptors and raw bytes
// only, return 0 (or nothing) on failure, and print nothing except closeKextSocket's one diagnostic.

// Opens the control socket: create it, look up the control "com.quilvaneapp.nke.filter" (the
// socket in $QUILVANE_CONTROL_DIR, default /run/quilvane), connect. The connected descriptor, or 0
// when any step fails; a socket created before the failing step is closed again.
std::int32_t openKextSocket();

// Closes `fd`: 0 on success; on failure prints "Couldn't close socket" (no line break) to standard
// output and returns `fd` unchanged.
std::int32_t closeKextSocket(std::int32_t fd);

// Sets the file status flags of `fd` to exactly O_NONBLOCK (earlier flags are not kept). Returns
// fcntl's result.
int setNonBlocking(std::int32_t fd);

// Sends the block-list payload `names` (each name followed by a NUL) in as many messages as the
// socket's buffer needs, the last one the block-list command. 0 when every message went out, -1 with
// errno set when one did not (the service then applies nothing of it).
int sendBlockList(std::int32_t fd, std::span<const std::uint8_t> names);

// The setsockopt of the control protocol: one message holding level 2, `option` and the payload
// (`length` bytes at `data`; none when `data` is null). 0 on success, -1 on failure.
int setKextOption(std::int32_t fd, std::int32_t option, const void* data, std::size_t length);
