// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "filterd/control/PeerPolicy.h"

#include <cstdint>
#include <optional>
#include <sys/types.h>

namespace Filterd {

// The process at the other end of a client socket as polkit names a process: its pid, its start
// time (so that a pid used again by another process is not mistaken for it) and its user.
struct PeerProcess {
    pid_t pid = 0;
    std::uint64_t startTime = 0; // clock ticks after boot, field 22 of /proc/PID/stat
    uid_t uid = 0;
    // Whether a pidfd proved the start time is the peer's own (kernels from 6.5 hand one out).
    bool pidfdChecked = false;

    // The peer of `socket`, or nothing when that process has already gone. Where the kernel hands
    // out the peer's pidfd, the process is checked to be alive after its start time was read, so
    // the start time cannot belong to a later process that reused the pid. Without one, the pid must
    // still belong to the peer's user.
    static std::optional<PeerProcess> of(int socket, const PeerPolicy::Peer& peer);

    // Whether the pid still names this process: same start time, same owner. Without a pidfd this is
    // asked again once polkit has answered, so that an answer about a process that took the pid
    // meanwhile is never applied to the client.
    bool stillTheSame() const;

    // Whether this kernel hands out the peer's pidfd (SO_PEERPIDFD, Linux 6.5).
    static bool kernelHasPeerPidfd();

    // Field 22 of /proc/PID/stat; nothing when the process does not exist.
    static std::optional<std::uint64_t> startTimeOf(pid_t pid);
};

} // namespace Filterd
