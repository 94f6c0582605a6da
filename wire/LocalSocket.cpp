// SPDX-License-Identifier: GPL-3.0-or-later
#include "wire/LocalSocket.h"

#include <cerrno>
#include <cstring>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

namespace Quilvane::Wire::LocalSocket {

bool fillAddress(const std::string& path, sockaddr_un& address) {
    address = {};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        errno = ENAMETOOLONG;
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

UniqueFd createSeqpacket() {
    return UniqueFd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
}

bool connectTo(int fd, const std::string& path) {
    sockaddr_un address;
    if (!fillAddress(path, address)) {
        return false;
    }
    int result;
    do {
        result = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (result != 0 && errno == EINTR);
    return result == 0;
}

bool hasHungUp(int fd, std::chrono::milliseconds wait) {
    pollfd hangup{fd, POLLRDHUP, 0};
    int ready;
    do {
        ready = ::poll(&hangup, 1, static_cast<int>(wait.count()));
    } while (ready < 0 && errno == EINTR);
    return ready > 0 && (hangup.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

bool emptyReadEndsStream(int fd) {
    int queued = 0;
    return hasHungUp(fd) && (::ioctl(fd, SIOCINQ, &queued) != 0 || queued == 0);
}

} // namespace Quilvane::Wire::LocalSocket
