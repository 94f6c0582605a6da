// SPDX-License-Identifier: GPL-3.0-or-later
// Runs a program in a network namespace of its own whose only DNS server answers from a table:
//   dns-namespace NAME=IPV4 [NAME=IPV4...] -- PROGRAM ARGS...
// The namespace has its loopback up; /etc/resolv.conf names 127.0.0.1 and /etc/nsswitch.conf asks
// DNS only, in a mount namespace of its own, so the program resolves through the server whatever
// the machine's own resolver is. A-record questions for a name in the table get its address; every
// other question gets an empty answer. The program keeps this process's pid (the server is a child
// that ends with it), so the caller knows it by the pid it started. Needs root.
#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

bool loopbackUp() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    const bool up = fd >= 0 && ::ioctl(fd, SIOCGIFFLAGS, &request) == 0 &&
                    (request.ifr_flags |= IFF_UP, ::ioctl(fd, SIOCSIFFLAGS, &request) == 0);
    ::close(fd);
    return up;
}

bool replaceFile(const char* target, const std::string& text) {
    char path[] = "/tmp/qv-dns-XXXXXX";
    const int fd = ::mkstemp(path);
    if (fd < 0) {
        return false;
    }
    const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::fchmod(fd, 0644);
    ::close(fd);
    const bool mounted = written && ::mount(path, target, nullptr, MS_BIND, nullptr) == 0;
    ::unlink(path); // the mount keeps the file
    return mounted;
}

bool isolate() {
    return ::unshare(CLONE_NEWNET | CLONE_NEWNS) == 0 &&
           ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 && loopbackUp() &&
           replaceFile("/etc/resolv.conf", "nameserver 127.0.0.1\noptions timeout:2 attempts:1\n") &&
           replaceFile("/etc/nsswitch.conf", "hosts: dns\n");
}

// The question's name in dotted form and the offset just past it; empty when it is compressed or
// damaged (a resolver never compresses its question).
std::string questionName(const std::uint8_t* message, std::size_t length, std::size_t& end) {
    std::string name;
    std::size_t at = 12;
    while (at < length && message[at] != 0) {
        const std::size_t label = message[at];
        if (label > 63 || at + 1 + label >= length) {
            return {};
        }
        name +=
            (name.empty() ? "" : ".") + std::string(reinterpret_cast<const char*>(message + at + 1), label);
        at += 1 + label;
    }
    end = at + 5; // the final zero, type and class
    return end <= length ? name : std::string();
}

void answer(int fd, const std::map<std::string, in_addr>& table) {
    std::uint8_t query[512];
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    const ssize_t n = ::recvfrom(fd, query, sizeof query, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
    std::size_t questionEnd = 0;
    const std::string name = n > 12 ? questionName(query, static_cast<std::size_t>(n), questionEnd) : "";
    if (name.empty()) {
        return;
    }
    const std::uint16_t type =
        static_cast<std::uint16_t>(query[questionEnd - 4] << 8 | query[questionEnd - 3]);
    const auto known = table.find(name);
    const bool hasAnswer = type == 1 && known != table.end();
    std::vector<std::uint8_t> reply(query, query + questionEnd);
    reply[2] = 0x81; // a response, recursion desired
    reply[3] = 0x80; // recursion available, no error
    reply[6] = 0;
    reply[7] = hasAnswer ? 1 : 0;
    std::fill(reply.begin() + 8, reply.begin() + 12, std::uint8_t{0});
    if (hasAnswer) {
        const std::uint8_t record[] = {0xc0, 12, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4};
        reply.insert(reply.end(), std::begin(record), std::end(record));
        const auto* address = reinterpret_cast<const std::uint8_t*>(&known->second);
        reply.insert(reply.end(), address, address + 4);
    }
    ::sendto(fd, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), fromLength);
}

[[noreturn]] void serveUntilParentEnds(const std::map<std::string, in_addr>& table, int server) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    for (;;) {
        answer(server, table);
    }
}

} // namespace

int main(int argc, char** argv) {
    std::map<std::string, in_addr> table;
    int at = 1;
    for (; at < argc && std::strcmp(argv[at], "--") != 0; ++at) {
        const std::string entry = argv[at];
        const auto equals = entry.find('=');
        in_addr address{};
        if (equals == std::string::npos || ::inet_pton(AF_INET, entry.c_str() + equals + 1, &address) != 1) {
            std::fprintf(stderr, "dns-namespace: not NAME=IPV4: %s\n", argv[at]);
            return 2;
        }
        table[entry.substr(0, equals)] = address;
    }
    if (at + 1 >= argc) {
        std::fprintf(stderr, "usage: %s NAME=IPV4... -- PROGRAM ARGS...\n", argv[0]);
        return 2;
    }
    if (!isolate()) {
        std::perror("dns-namespace: cannot make the namespace");
        return 2;
    }
    const int server = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(53);
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (server < 0 || ::bind(server, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        std::perror("dns-namespace: cannot serve DNS on 127.0.0.1:53");
        return 2;
    }
    const pid_t parent = ::getpid();
    const pid_t child = ::fork();
    if (child == 0) {
        if (::getppid() != parent) {
            ::_exit(0);
        }
        serveUntilParentEnds(table, server);
    }
    ::execvp(argv[at + 1], argv + at + 1);
    std::perror("dns-namespace: cannot run the program");
    return 127;
}
