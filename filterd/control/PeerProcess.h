#pragma once

#include "filterd/PeerPolicy.h"

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

    // The peer of `socket`, or nothing when that process has already gone. Where the kernel hands
    // out the peer's pidfd, the process is checked to be alive after its start time was read, so
    // the start time cannot belong to a later process that reused the pid.
    static std::optional<PeerProcess> of(int socket, const PeerPolicy::Peer& peer);

    // Field 22 of /proc/PID/stat; nothing when the process does not exist.
    static std::optional<std::uint64_t> startTimeOf(pid_t pid);
};

} // namespace Filterd
