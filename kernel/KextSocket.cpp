#include "kernel/KextSocket.h"

#include "kernel/wire/ControlPath.h"
#include "kernel/wire/KextCommandFrame.h"
#include "platform/ControlSocket.h"

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

int setKextOption(std::int32_t fd, std::int32_t option, const void* data, std::size_t length) {
    const auto message = Quilvane::Wire::frameCommand(Quilvane::Wire::kSysprotoControl, option, data, length);
    return ControlSocket::send(fd, message.data(), message.size());
}
