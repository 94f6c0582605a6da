// SPDX-License-Identifier: GPL-3.0-or-later
#include "filterd/simulator/SimulatedTraffic.h"

#include "filterd/Log.h"

#include <arpa/inet.h>
#include <array>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <sys/wait.h>
#include <unistd.h>

using Quilvane::Wire::UniqueFd;

namespace Filterd {
namespace {

constexpr auto kUdpReportInterval = std::chrono::seconds(5);
constexpr auto kTimerPeriod = std::chrono::milliseconds(10);
constexpr std::size_t kMaxPendingConnections = 256;

// Documentation address ranges (RFC 5737, RFC 3849): realistic-looking peers that belong to nobody.
constexpr std::array<std::array<std::uint8_t, 4>, 3> kSyntheticIpv4 = {
    {{192, 0, 2, 10}, {198, 51, 100, 7}, {203, 0, 113, 80}}};
constexpr std::array<std::uint16_t, 5> kSyntheticPorts = {443, 80, 53, 993, 5222};

std::uint16_t localPort(int fd) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return 0;
    }
    if (address.ss_family == AF_INET6) {
        return ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
    }
    return ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
}

UniqueFd loopbackSocket(int family, int type) {
    UniqueFd socket(::socket(family, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!socket) {
        return socket;
    }
    int bound = -1;
    if (family == AF_INET6) {
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_addr = in6addr_loopback;
        bound = ::bind(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
    } else {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bound = ::bind(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    if (bound != 0 || (type == SOCK_STREAM && ::listen(socket.get(), SOMAXCONN) != 0)) {
        return UniqueFd();
    }
    return socket;
}

void setLoopback(ConnectionEvent& event, int family, std::uint16_t port) {
    event.family = family;
    event.address.fill(0);
    if (family == AF_INET6) {
        std::memcpy(event.address.data(), &in6addr_loopback, sizeof in6addr_loopback);
    } else {
        const std::uint32_t loopback = htonl(INADDR_LOOPBACK);
        std::memcpy(event.address.data(), &loopback, sizeof loopback);
    }
    event.port = htons(port);
}

void setAddress(ConnectionEvent& event, const sockaddr_storage& peer) {
    event.address.fill(0);
    event.family = peer.ss_family;
    if (peer.ss_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&peer);
        std::memcpy(event.address.data(), &in6->sin6_addr, sizeof in6->sin6_addr);
        event.port = in6->sin6_port;
    } else {
        const auto* in = reinterpret_cast<const sockaddr_in*>(&peer);
        std::memcpy(event.address.data(), &in->sin_addr, sizeof in->sin_addr);
        event.port = in->sin_port;
    }
}

} // namespace

std::unique_ptr<SimulatedTraffic> SimulatedTraffic::create(EventLoop& loop, const Options& options,
                                                           EventSink sink, std::string& error) {
    std::unique_ptr<SimulatedTraffic> traffic(new SimulatedTraffic(loop, options, std::move(sink)));
    if (!traffic->openListeners(error) || !traffic->prepareImages(error) || !traffic->startHelpers(error) ||
        !traffic->startTimer(error)) {
        return nullptr;
    }
    return traffic;
}

SimulatedTraffic::SimulatedTraffic(EventLoop& loop, Options options, EventSink sink)
    : m_loop(loop)
    , m_options(std::move(options))
    , m_sink(std::move(sink)) {}

SimulatedTraffic::~SimulatedTraffic() {
    for (Helper& helper : m_helpers) {
        if (helper.pid > 0) {
            ::kill(helper.pid, SIGKILL);
            ::waitpid(helper.pid, nullptr, 0);
        }
    }
    for (const auto& [fd, socket] : m_pending) {
        m_loop.remove(fd);
    }
    for (const UniqueFd* fd : {&m_tcp4, &m_tcp6, &m_udp, &m_timer}) {
        if (fd->isValid()) {
            m_loop.remove(fd->get());
        }
    }
    if (!m_imageDirectory.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(m_imageDirectory, ignored);
    }
    if (m_janitor > 0) {
        m_janitorPipe.reset();
        ::waitpid(m_janitor, nullptr, 0);
    }
}

// A SIGKILLed service runs no destructor, so a child of its own waits for the end of a pipe that
// only the service holds, and then removes the folder: nothing is left behind however the service
// ends. It is forked before anything else of the simulation exists and keeps no other descriptor.
bool SimulatedTraffic::startJanitor(std::string& error) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        error = "cannot create a pipe: " + std::string(std::strerror(errno));
        return false;
    }
    m_janitorPipe.reset(ends[1]);
    m_janitor = ::fork();
    if (m_janitor < 0) {
        ::close(ends[0]);
        error = "cannot start the cleaner of " + m_imageDirectory + ": " + std::strerror(errno);
        return false;
    }
    if (m_janitor == 0) {
        ::prctl(PR_SET_NAME, "quilvane-sim-gc");
        ::dup2(ends[0], 3);
        ::close_range(4, ~0U, 0);
        char byte = 0;
        while (::read(3, &byte, 1) < 0 && errno == EINTR) {
        }
        std::error_code ignored;
        std::filesystem::remove_all(m_imageDirectory, ignored);
        ::_exit(0);
    }
    ::close(ends[0]);
    return true;
}

// Every helper is this binary under another name: a hard link to one copy, so that each has an
// executable file name of its own, as the kernel filter would see it.
bool SimulatedTraffic::prepareImages(std::string& error) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/quilvane-simulate-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        error = "cannot create a folder for the simulated applications: " + std::string(std::strerror(errno));
        return false;
    }
    m_imageDirectory = pattern;
    if (!startJanitor(error)) {
        return false;
    }
    namespace fs = std::filesystem;
    std::error_code failure;
    const fs::path image = fs::path(m_imageDirectory) / ".image";
    fs::copy_file("/proc/self/exe", image, failure);
    if (failure) {
        error = "cannot copy the service binary for the simulated applications: " + failure.message();
        return false;
    }
    fs::permissions(image, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec, failure);
    for (const auto& name : m_options.helperNames) {
        const fs::path path = fs::path(m_imageDirectory) / name;
        fs::create_hard_link(image, path, failure);
        if (failure) {
            fs::copy_file(image, path, failure);
        }
        if (failure) {
            error = "cannot create the simulated application " + name + ": " + failure.message();
            return false;
        }
    }
    return true;
}

bool SimulatedTraffic::openListeners(std::string& error) {
    m_tcp4 = loopbackSocket(AF_INET, SOCK_STREAM);
    m_udp = loopbackSocket(AF_INET, SOCK_DGRAM);
    if (!m_tcp4 || !m_udp) {
        error = "cannot listen on 127.0.0.1: " + std::string(std::strerror(errno));
        return false;
    }
    m_tcp6 = loopbackSocket(AF_INET6, SOCK_STREAM);
    if (!m_tcp6) {
        Log::line("no IPv6 loopback; the simulation uses IPv4 only");
    }
    m_loop.add(m_tcp4.get(), EPOLLIN, [this](std::uint32_t) { acceptConnections(m_tcp4.get()); });
    if (m_tcp6) {
        m_loop.add(m_tcp6.get(), EPOLLIN, [this](std::uint32_t) { acceptConnections(m_tcp6.get()); });
    }
    m_loop.add(m_udp.get(), EPOLLIN, [this](std::uint32_t) { readDatagrams(); });
    return true;
}

bool SimulatedTraffic::startHelpers(std::string& error) {
    const std::vector<std::string> options = {"--simulate-helper",
                                              "--tcp4",
                                              std::to_string(localPort(m_tcp4.get())),
                                              "--tcp6",
                                              std::to_string(m_tcp6 ? localPort(m_tcp6.get()) : 0),
                                              "--udp",
                                              std::to_string(localPort(m_udp.get())),
                                              "--interval",
                                              std::to_string(m_options.helperInterval.count())};
    const pid_t parent = ::getpid();
    for (const auto& name : m_options.helperNames) {
        const std::string path = m_imageDirectory + "/" + name;
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(path.c_str()));
        for (const auto& option : options) {
            argv.push_back(const_cast<char*>(option.c_str()));
        }
        argv.push_back(nullptr);

        const pid_t pid = ::fork();
        if (pid < 0) {
            error = "cannot start the simulated application " + name + ": " + std::strerror(errno);
            return false;
        }
        if (pid == 0) {
            // The service blocks its termination signals for its signalfd; the helper must not.
            sigset_t none;
            sigemptyset(&none);
            ::sigprocmask(SIG_SETMASK, &none, nullptr);
            // SIGKILL, not SIGTERM: a blocked helper is stopped and would never act on SIGTERM.
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() != parent) {
                ::_exit(0);
            }
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        m_helpers.push_back(Helper{name, pid, false});
        Log::line("simulated application " + name + " runs as pid " + std::to_string(pid));
    }
    return true;
}

bool SimulatedTraffic::startTimer(std::string& error) {
    if (m_options.syntheticRate <= 0) {
        return true;
    }
    m_timer.reset(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
    itimerspec period{};
    period.it_interval.tv_nsec = std::chrono::nanoseconds(kTimerPeriod).count();
    period.it_value = period.it_interval;
    if (!m_timer || ::timerfd_settime(m_timer.get(), 0, &period, nullptr) != 0) {
        error = "cannot start the timer of synthetic records: " + std::string(std::strerror(errno));
        return false;
    }
    m_lastTick = std::chrono::steady_clock::now();
    m_loop.add(m_timer.get(), EPOLLIN, [this](std::uint32_t) { emitSynthetic(); });
    return true;
}

void SimulatedTraffic::acceptConnections(int listener) {
    for (;;) {
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        UniqueFd connection(
            ::accept4(listener, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!connection) {
            return;
        }
        if (m_pending.size() >= kMaxPendingConnections) {
            continue; // a helper that stalls mid-connection is not waited for
        }
        const int fd = connection.get();
        m_loop.add(fd, EPOLLIN | EPOLLRDHUP, [this, fd, peer](std::uint32_t) { readIntroduction(fd, peer); });
        m_pending.emplace(fd, std::move(connection));
    }
}

void SimulatedTraffic::readIntroduction(int fd, const sockaddr_storage& peer) {
    std::int32_t pid = 0;
    const ssize_t n = ::recv(fd, &pid, sizeof pid, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        return;
    }
    m_loop.remove(fd);
    m_pending.erase(fd);
    const Helper* helper = n == sizeof pid ? helperWithPid(pid) : nullptr;
    if (helper == nullptr) {
        return;
    }
    // The helper's side: an outgoing connection to our listener.
    ConnectionEvent outgoing;
    outgoing.pid = pid;
    outgoing.exe = helper->name;
    outgoing.protocol = IPPROTO_TCP;
    outgoing.direction = ConnectionEvent::Direction::outgoing;
    const bool overIpv6 = peer.ss_family == AF_INET6;
    setLoopback(outgoing, overIpv6 ? AF_INET6 : AF_INET, localPort(overIpv6 ? m_tcp6.get() : m_tcp4.get()));
    report(outgoing);

    // Ours: the connection we accepted, from the helper's address.
    ConnectionEvent incoming;
    incoming.pid = ::getpid();
    incoming.exe = "quilvane-filterd";
    incoming.protocol = IPPROTO_TCP;
    incoming.direction = ConnectionEvent::Direction::incoming;
    setAddress(incoming, peer);
    if (!m_blocked.contains(helper->name)) {
        report(incoming);
    }
}

void SimulatedTraffic::readDatagrams() {
    const auto now = std::chrono::steady_clock::now();
    for (;;) {
        std::int32_t pid = 0;
        const ssize_t n = ::recv(m_udp.get(), &pid, sizeof pid, MSG_DONTWAIT);
        if (n < 0) {
            return;
        }
        const Helper* helper = n == sizeof pid ? helperWithPid(pid) : nullptr;
        if (helper == nullptr) {
            continue;
        }
        const std::uint16_t port = localPort(m_udp.get());
        auto& last = m_udpFlows[{pid, port}];
        if (last != std::chrono::steady_clock::time_point{} && now - last < kUdpReportInterval) {
            continue;
        }
        last = now;
        ConnectionEvent event;
        event.pid = pid;
        event.exe = helper->name;
        event.protocol = IPPROTO_UDP;
        event.direction = ConnectionEvent::Direction::outgoing;
        setLoopback(event, AF_INET, port);
        report(event);
    }
}

void SimulatedTraffic::emitSynthetic() {
    std::uint64_t expirations = 0;
    [[maybe_unused]] const ssize_t n = ::read(m_timer.get(), &expirations, sizeof expirations);
    const auto now = std::chrono::steady_clock::now();
    const double elapsed = std::chrono::duration<double>(now - m_lastTick).count();
    m_lastTick = now;
    // A stalled loop does not turn into one huge burst: at most a second's worth is owed.
    m_syntheticCredit =
        std::min(m_syntheticCredit + m_options.syntheticRate * elapsed, m_options.syntheticRate);

    std::vector<const Helper*> senders;
    for (const Helper& helper : m_helpers) {
        if (helper.pid > 0 && !m_blocked.contains(helper.name)) {
            senders.push_back(&helper);
        }
    }
    if (senders.empty()) {
        m_syntheticCredit = 0;
        return;
    }
    ConnectionEvent event;
    event.protocol = IPPROTO_TCP;
    event.direction = ConnectionEvent::Direction::outgoing;
    event.family = AF_INET;
    while (m_syntheticCredit >= 1) {
        m_syntheticCredit -= 1;
        const std::uint64_t i = m_syntheticCount++;
        const Helper& sender = *senders[i % senders.size()];
        event.pid = sender.pid;
        event.exe = sender.name;
        event.address.fill(0);
        const auto& address = kSyntheticIpv4[i % kSyntheticIpv4.size()];
        std::memcpy(event.address.data(), address.data(), address.size());
        event.port = htons(kSyntheticPorts[(i / kSyntheticIpv4.size()) % kSyntheticPorts.size()]);
        report(event);
    }
}

const SimulatedTraffic::Helper* SimulatedTraffic::helperWithPid(pid_t pid) const {
    for (const Helper& helper : m_helpers) {
        if (helper.pid == pid) {
            return &helper;
        }
    }
    return nullptr;
}

void SimulatedTraffic::report(ConnectionEvent& event) {
    event.uid = static_cast<std::uint32_t>(::getuid());
    if (m_blocked.contains(event.exe)) {
        ++m_suppressed;
        return;
    }
    ++m_reported;
    m_sink(event);
}

bool SimulatedTraffic::replaceBlockList(ListOwner owner, const BlockListCommand& command, std::string&) {
    const auto names = command.names();
    if (names.empty()) {
        m_lists.erase(owner);
    } else {
        m_lists[owner] = std::set<std::string>(names.begin(), names.end());
    }
    m_blocked.clear();
    for (const ListOwner applies : {static_cast<ListOwner>(::getuid()), kEveryone}) {
        if (const auto it = m_lists.find(applies); it != m_lists.end()) {
            m_blocked.insert(it->second.begin(), it->second.end());
        }
    }
    Log::line(inForceLine(owner, names.size()));
    listApplied({owner, command.ticket(), names.size(), {}, {}});
    for (Helper& helper : m_helpers) {
        const bool block = m_blocked.contains(helper.name);
        if (helper.pid > 0 && block != helper.stopped) {
            ::kill(helper.pid, block ? SIGSTOP : SIGCONT);
            helper.stopped = block;
        }
    }
    return true;
}

void SimulatedTraffic::poll() {
    for (Helper& helper : m_helpers) {
        int status = 0;
        if (helper.pid > 0 && ::waitpid(helper.pid, &status, WNOHANG) == helper.pid) {
            Log::line("simulated application " + helper.name + " (pid " + std::to_string(helper.pid) +
                      ") ended unexpectedly");
            helper.pid = -1;
        }
    }
}

std::string SimulatedTraffic::statistics() const {
    return "simulated records " + std::to_string(m_reported) + " (synthetic " +
           std::to_string(m_syntheticCount) + "), withheld for blocked names " + std::to_string(m_suppressed);
}

std::map<std::string, pid_t> SimulatedTraffic::helpers() const {
    std::map<std::string, pid_t> pids;
    for (const Helper& helper : m_helpers) {
        pids[helper.name] = helper.pid;
    }
    return pids;
}

} // namespace Filterd
