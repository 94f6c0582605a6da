// SPDX-License-Identifier: GPL-3.0-or-later
#include "kernel/KextSocket.h"

#include "wire/ControlPath.h"
#include "wire/KextCommandFrame.h"
#include "platform/ControlSocket.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

std::int32_t openKextSocket() {
    const int fd = ControlSocket::create();
    if (fd <= 0) {
        return 0;
    }
    const std::string path = Quilvane::Wire::controlSocketPath(Quilvane::Wire::kControlName);
    if (!ControlSocket::lookup(path) || !ControlSocket::connect(fd, path)) {
        ::close(fd);
        return 0;
    }
    return fd;
}

std::int32_t closeKextSocket(std::int32_t fd) {
    if (::close(fd) != 0) {
        std::fputs("Couldn't close socket", stdout);
        std::fflush(stdout);
        return fd;
    }
    return 0;
}

int setNonBlocking(std::int32_t fd) {
    return ::fcntl(fd, F_SETFL, O_NONBLOCK);
}

int sendBlockList(std::int32_t fd, std::span<const std::uint8_t> names) {
    const auto messages = Quilvane::Wire::frameBlockList(names);
    if (!messages) {
        errno = EINVAL;
        return -1;
    }
    for (const auto& message : *messages) {
        if (ControlSocket::send(fd, message.data(), message.size()) != 0) {
            return -1;
        }
    }
    return 0;
}

int setKextOption(std::int32_t fd, std::int32_t option, const void* data, std::size_t length) {
    const auto message = Quilvane::Wire::frameCommand(Quilvane::Wire::kSysprotoControl, option, data, length);
    return ControlSocket::send(fd, message.data(), message.size());
}
