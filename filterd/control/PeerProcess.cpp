// SPDX-License-Identifier: GPL-3.0-or-later
#include "filterd/control/PeerProcess.h"

#include "wire/UniqueFd.h"

#include <cerrno>
#include <charconv>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#ifndef SO_PEERPIDFD
#define SO_PEERPIDFD 77 // Linux 6.5
#endif

using Quilvane::Wire::UniqueFd;

namespace Filterd {
namespace {

// The peer's pidfd, where the kernel offers one.
UniqueFd peerPidfd(int socket) {
    int pidfd = -1;
    socklen_t length = sizeof pidfd;
    if (::getsockopt(socket, SOL_SOCKET, SO_PEERPIDFD, &pidfd, &length) != 0) {
        return UniqueFd();
    }
    return UniqueFd(pidfd);
}

bool stillAlive(const UniqueFd& pidfd) {
    return ::syscall(SYS_pidfd_send_signal, pidfd.get(), 0, nullptr, 0) == 0;
}

// The effective user of a running process: the owner of its /proc folder.
std::optional<uid_t> ownerOf(pid_t pid) {
    struct stat st {};
    if (::stat(("/proc/" + std::to_string(pid)).c_str(), &st) != 0) {
        return std::nullopt;
    }
    return st.st_uid;
}

} // namespace

std::optional<std::uint64_t> PeerProcess::startTimeOf(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    const std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    // The command name may hold spaces and parentheses; the fields after it are plain.
    const auto close = stat.rfind(')');
    if (close == std::string::npos) {
        return std::nullopt;
    }
    std::size_t at = close + 2; // field 3, the state
    for (int field = 3; field < 22; ++field) {
        at = stat.find(' ', at);
        if (at == std::string::npos) {
            return std::nullopt;
        }
        ++at;
    }
    std::uint64_t ticks = 0;
    const auto end = stat.data() + stat.size();
    if (std::from_chars(stat.data() + at, end, ticks).ec != std::errc()) {
        return std::nullopt;
    }
    return ticks;
}

std::optional<PeerProcess> PeerProcess::of(int socket, const PeerPolicy::Peer& peer) {
    const UniqueFd pidfd = peerPidfd(socket);
    if (!pidfd && errno == ESRCH) {
        return std::nullopt;
    }
    const auto startTime = startTimeOf(peer.pid);
    if (!startTime || (pidfd && !stillAlive(pidfd))) {
        return std::nullopt;
    }
    const PeerProcess process{peer.pid, *startTime, peer.uid, static_cast<bool>(pidfd)};
    if (!process.pidfdChecked && !process.stillTheSame()) {
        return std::nullopt;
    }
    return process;
}

bool PeerProcess::stillTheSame() const {
    return startTimeOf(pid) == startTime && ownerOf(pid) == uid;
}

bool PeerProcess::kernelHasPeerPidfd() {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
        return false;
    }
    const UniqueFd one(pair[0]);
    const UniqueFd other(pair[1]);
    return static_cast<bool>(peerPidfd(one.get()));
}

} // namespace Filterd
