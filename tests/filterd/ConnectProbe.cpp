// SPDX-License-Identifier: GPL-3.0-or-later
// A small client for the filter service's tests, copied under the names the tests block:
//   probe connect4|connect6|udp4|udp6 PORT
//   probe forkconnect4 PORT    a forked child connects, without exec; exits with the child's status
//   probe waitconnect4 PORT    connects once a line arrives on standard input
//   probe againconnect4 PORT   connects, and once a line arrives connects again (1 if the first fails)
//   probe connectexec PORT PATH ARGS...  connects, then becomes PATH (1 if the connect fails)
//   probe exec PATH ARGS...    becomes PATH (a launcher's exec chain in one process)
//   probe listen4 PORT         binds 127.0.0.1:PORT and listens, then accepts one connection
//   probe bindudp4 PORT        binds a UDP socket to 127.0.0.1:PORT
//   probe bind6 PORT           binds [::1]:PORT (TCP) without listening, until a line arrives
//   probe holdtcp4 PORT        connects and sends a byte; once a line arrives sends another and
//                              waits a second for an answer: 0 when one came, 4 when the connection
//                              was cut
//   probe holdudp4 PORT        the same with a connected UDP socket; 4 when the second send fails
//   probe resolve NAME PORT    looks NAME up (IPv4) and connects to its address: 0 once it tried,
//                              5 when the name does not resolve
//   probe crowd N FILE         forks N children that wait, writes how many it made to FILE, and waits;
//                              the children die with it, and it with its parent
// Exit status: 0 when the connection (or datagram) went through, 3 when the kernel refused it with
// EPERM, 1 for any other failure. Prints its pid first, so the test can match records to it.
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <string>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

int connectOnce(const std::string& mode, std::uint16_t port) {
    const bool ipv6 = mode.back() == '6';
    const bool udp = mode.rfind("udp", 0) == 0;
    sockaddr_storage address{};
    socklen_t length = 0;
    if (ipv6) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&address);
        in6->sin6_family = AF_INET6;
        in6->sin6_addr = in6addr_loopback;
        in6->sin6_port = htons(port);
        length = sizeof *in6;
    } else {
        auto* in = reinterpret_cast<sockaddr_in*>(&address);
        in->sin_family = AF_INET;
        in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        in->sin_port = htons(port);
        length = sizeof *in;
    }
    const int fd = ::socket(ipv6 ? AF_INET6 : AF_INET, udp ? SOCK_DGRAM : SOCK_STREAM, 0);
    if (fd < 0) {
        return 1;
    }
    // A connect that races a new list may be let through and its handshake then dropped, as a
    // block cuts what is open; that is a failure after 5 s here, not minutes of SYN retries.
    const timeval patience{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience);
    const int result =
        udp ? static_cast<int>(::sendto(fd, "x", 1, 0, reinterpret_cast<sockaddr*>(&address), length))
            : ::connect(fd, reinterpret_cast<sockaddr*>(&address), length);
    const int error = errno;
    ::close(fd);
    if (result >= 0) {
        return 0;
    }
    std::fprintf(stderr, "%s: %s\n", mode.c_str(), std::strerror(error));
    return error == EPERM ? 3 : 1;
}

sockaddr_in loopback4(std::uint16_t port) {
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    in.sin_port = htons(port);
    return in;
}

int refusedOr(int result) {
    return result >= 0 ? 0 : errno == EPERM ? 3 : 1;
}

bool waitForLine() {
    char line[16];
    return std::fgets(line, sizeof line, stdin) != nullptr;
}

int bindAndServe(const std::string& mode, std::uint16_t port) {
    const bool udp = mode == "bindudp4";
    const bool ipv6 = mode == "bind6";
    const int fd = ::socket(ipv6 ? AF_INET6 : AF_INET, udp ? SOCK_DGRAM : SOCK_STREAM, 0);
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    int bound;
    if (ipv6) {
        sockaddr_in6 in6{};
        in6.sin6_family = AF_INET6;
        in6.sin6_addr = in6addr_loopback;
        in6.sin6_port = htons(port);
        bound = ::bind(fd, reinterpret_cast<sockaddr*>(&in6), sizeof in6);
    } else {
        const sockaddr_in in = loopback4(port);
        bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&in), sizeof in);
    }
    if (bound != 0) {
        return refusedOr(bound);
    }
    if (mode == "listen4") {
        if (::listen(fd, 4) != 0) {
            return 1;
        }
        const int accepted = ::accept(fd, nullptr, nullptr);
        return accepted >= 0 ? 0 : 1;
    }
    if (ipv6) {
        waitForLine();
    }
    return 0;
}

int holdConnection(const std::string& mode, std::uint16_t port) {
    const bool udp = mode == "holdudp4";
    const int fd = ::socket(AF_INET, udp ? SOCK_DGRAM : SOCK_STREAM, 0);
    const sockaddr_in in = loopback4(port);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&in), sizeof in) != 0 || ::send(fd, "a", 1, 0) != 1) {
        return 1;
    }
    if (!waitForLine()) {
        return 1;
    }
    if (::send(fd, "b", 1, MSG_NOSIGNAL) != 1) {
        return 4;
    }
    if (udp) {
        return 0;
    }
    const timeval second{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &second, sizeof second);
    char answer = 0;
    return ::recv(fd, &answer, 1, 0) == 1 ? 0 : 4;
}

volatile std::sig_atomic_t crowdEnds = 0;

// SIGTERM ends the crowd: every child is killed and reaped here, so none is left to an init that may
// not reap (the test kernels' init does not).
int crowd(int wanted, const char* report) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    std::signal(SIGTERM, [](int) { crowdEnds = 1; });
    const pid_t leader = ::getpid();
    std::vector<pid_t> children;
    int made = 0;
    for (; made < wanted; ++made) {
        const pid_t child = ::fork();
        if (child == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() == leader) {
                ::pause();
            }
            ::_exit(0);
        }
        if (child < 0) {
            break;
        }
        children.push_back(child);
    }
    const std::string tmp = std::string(report) + ".tmp";
    if (FILE* file = std::fopen(tmp.c_str(), "w")) {
        std::fprintf(file, "%d\n", made);
        std::fclose(file);
        std::rename(tmp.c_str(), report);
    }
    while (crowdEnds == 0) {
        ::pause();
    }
    for (const pid_t child : children) {
        ::kill(child, SIGKILL);
    }
    for (const pid_t child : children) {
        ::waitpid(child, nullptr, 0);
    }
    return 0;
}

} // namespace

int resolveAndConnect(const char* name, const char* port) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(name, port, &hints, &found) != 0 || found == nullptr) {
        return 5;
    }
    const int fd = ::socket(found->ai_family, found->ai_socktype, 0);
    ::connect(fd, found->ai_addr, found->ai_addrlen);
    ::close(fd);
    ::freeaddrinfo(found);
    return 0;
}

int main(int argc, char** argv) {
    if (argc >= 3 && std::string(argv[1]) == "exec") {
        ::execv(argv[2], argv + 2);
        return 1;
    }
    if (argc == 4 && std::string(argv[1]) == "resolve") {
        std::printf("%d\n", static_cast<int>(::getpid()));
        std::fflush(stdout);
        return resolveAndConnect(argv[2], argv[3]);
    }
    if (argc >= 4 && std::string(argv[1]) == "connectexec") {
        if (connectOnce("connect4", static_cast<std::uint16_t>(std::atoi(argv[2]))) != 0) {
            return 1;
        }
        ::execv(argv[3], argv + 3);
        return 1;
    }
    if (argc == 4 && std::string(argv[1]) == "crowd") {
        return crowd(std::atoi(argv[2]), argv[3]);
    }
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s connect4|connect6|udp4|udp6|forkconnect4|waitconnect4 PORT\n",
                     argv[0]);
        return 2;
    }
    const std::string mode = argv[1];
    const auto port = static_cast<std::uint16_t>(std::atoi(argv[2]));
    std::printf("%d\n", static_cast<int>(::getpid()));
    std::fflush(stdout);

    if (mode == "forkconnect4") {
        const pid_t child = ::fork();
        if (child == 0) {
            ::_exit(connectOnce("connect4", port));
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
    }
    if (mode == "listen4" || mode == "bindudp4" || mode == "bind6") {
        return bindAndServe(mode, port);
    }
    if (mode == "holdtcp4" || mode == "holdudp4") {
        return holdConnection(mode, port);
    }
    if (mode == "waitconnect4" || mode == "againconnect4") {
        if (mode == "againconnect4" && connectOnce("connect4", port) != 0) {
            return 1;
        }
        char line[16];
        if (std::fgets(line, sizeof line, stdin) == nullptr) {
            return 1;
        }
        return connectOnce("connect4", port);
    }
    return connectOnce(mode, port);
}
