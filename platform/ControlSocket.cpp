// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/ControlSocket.h"

#include "wire/LocalSocket.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// A command is sent from the main thread; when the filter has stopped reading, give up rather than
// freeze the user interface.
constexpr int kSendWaitMs = 1000;

// The block list of a large installation is far bigger than the default socket buffer; a message
// larger than the send buffer is refused outright on a SEQPACKET socket.
constexpr int kSendBufferBytes = 2 * 1024 * 1024;

} // namespace

int ControlSocket::create() {
    int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd == 0) {
        // Standard input was closed; 0 is reserved for "not connected".
        const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 1);
        ::close(fd);
        fd = moved;
    }
    if (fd > 0) {
        int size = kSendBufferBytes;
        if (::setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &size, sizeof size) != 0) {
            ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
        }
    }
    return fd;
}

bool ControlSocket::lookup(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

bool ControlSocket::connect(int fd, const std::string& path) {
    return Quilvane::Wire::LocalSocket::connectTo(fd, path);
}

int ControlSocket::send(int fd, const void* data, std::size_t length) {
    for (;;) {
        const ssize_t sent = ::send(fd, data, length, MSG_NOSIGNAL);
        if (sent >= 0) {
            return 0;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            return -1;
        }
        pollfd writable{fd, POLLOUT, 0};
        const int ready = ::poll(&writable, 1, kSendWaitMs);
        if (ready <= 0 || (writable.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
            if (ready == 0) {
                errno = EAGAIN;
            }
            return -1;
        }
    }
}
