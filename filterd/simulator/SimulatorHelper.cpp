// SPDX-License-Identifier: GPL-3.0-or-later
#include "filterd/simulator/SimulatorHelper.h"

#include "wire/UniqueFd.h"

#include <algorithm>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <random>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using Quilvane::Wire::UniqueFd;

namespace Filterd::SimulatorHelper {
namespace {

// The simulator learns which helper connected from the pid sent as the first four bytes.
void connectAndIntroduce(const sockaddr* address, socklen_t length, int family, std::int32_t pid) {
    UniqueFd socket(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (socket && ::connect(socket.get(), address, length) == 0) {
        [[maybe_unused]] const ssize_t sent = ::send(socket.get(), &pid, sizeof pid, MSG_NOSIGNAL);
    }
}

} // namespace

int run(const Options& options) {
    const std::int32_t pid = ::getpid();
    sockaddr_in tcp4{};
    tcp4.sin_family = AF_INET;
    tcp4.sin_port = htons(options.tcp4Port);
    tcp4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sockaddr_in6 tcp6{};
    tcp6.sin6_family = AF_INET6;
    tcp6.sin6_port = htons(options.tcp6Port);
    tcp6.sin6_addr = in6addr_loopback;
    sockaddr_in udp = tcp4;
    udp.sin_port = htons(options.udpPort);

    UniqueFd datagrams(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    std::minstd_rand random(static_cast<unsigned>(pid));
    const auto base = std::max<long>(options.interval.count(), 1);
    for (unsigned round = 0;; ++round) {
        if (options.tcp6Port != 0 && round % 2 == 1) {
            connectAndIntroduce(reinterpret_cast<sockaddr*>(&tcp6), sizeof tcp6, AF_INET6, pid);
        } else {
            connectAndIntroduce(reinterpret_cast<sockaddr*>(&tcp4), sizeof tcp4, AF_INET, pid);
        }
        if (datagrams) {
            ::sendto(datagrams.get(), &pid, sizeof pid, 0, reinterpret_cast<sockaddr*>(&udp), sizeof udp);
        }
        // Some jitter, so that the helpers do not march in step.
        const long sleep = base / 2 + static_cast<long>(random() % static_cast<unsigned long>(base));
        std::this_thread::sleep_for(std::chrono::milliseconds(sleep));
    }
}

} // namespace Filterd::SimulatorHelper
