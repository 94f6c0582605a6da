// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/support/FakeKextFilter.h"

#include "wire/ControlPath.h"
#include "wire/KextCommandFrame.h"
#include "wire/RecordExtension.h"
#include "wire/ServiceReply.h"

#include <algorithm>
#include <arpa/inet.h>
#include <array>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr const char* kControlDirVariable = "QUILVANE_CONTROL_DIR";

} // namespace

FakeKextFilter::FakeKextFilter(Start start)
    : m_hadControlDir(qEnvironmentVariableIsSet(kControlDirVariable)) {
    m_previousControlDir = qgetenv(kControlDirVariable);
    qputenv(kControlDirVariable, m_directory.path().toUtf8());
    if (start == Start::listening) {
        listen();
    }
}

FakeKextFilter::~FakeKextFilter() {
    stop();
    if (m_hadControlDir) {
        qputenv(kControlDirVariable, m_previousControlDir);
    } else {
        qunsetenv(kControlDirVariable);
    }
}

bool FakeKextFilter::listen() {
    if (m_listener >= 0 || !m_directory.isValid()) {
        return m_listener >= 0;
    }
    const std::string path = socketPath();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size());
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 64) != 0) {
        ::close(fd);
        return false;
    }
    m_listener = fd;
    m_wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    m_thread = std::thread([this] { run(); });
    return true;
}

void FakeKextFilter::stop() {
    if (m_thread.joinable()) {
        {
            std::lock_guard lock(m_mutex);
            m_stopping = true;
        }
        wake();
        m_thread.join();
    }
    std::lock_guard lock(m_mutex);
    for (const int fd : m_clients) {
        // A socket closed with unread messages resets its peer, and a reset is reported before the
        // messages still queued for the peer: a service that stops in order reads what it was sent.
        std::array<char, 256> discarded;
        while (::recv(fd, discarded.data(), discarded.size(), MSG_DONTWAIT) > 0) {
        }
        ::close(fd);
    }
    m_clients.clear();
    if (m_listener >= 0) {
        ::close(m_listener);
        ::unlink(socketPath().c_str());
        m_listener = -1;
    }
    if (m_wake >= 0) {
        ::close(m_wake);
        m_wake = -1;
    }
    m_stopping = false;
    m_changed.notify_all();
}

std::string FakeKextFilter::controlDirectory() const {
    return m_directory.path().toStdString();
}

std::string FakeKextFilter::socketPath() const {
    return controlDirectory() + "/" + Quilvane::Wire::kControlName;
}

int FakeKextFilter::clientCount() const {
    std::lock_guard lock(m_mutex);
    return static_cast<int>(m_clients.size());
}

int FakeKextFilter::acceptedCount() const {
    std::lock_guard lock(m_mutex);
    return m_accepted;
}

bool FakeKextFilter::waitForClients(int count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return static_cast<int>(m_clients.size()) >= count; });
}

std::vector<std::vector<std::uint8_t>> FakeKextFilter::hellos() const {
    std::lock_guard lock(m_mutex);
    return m_hellos;
}

std::vector<FakeKextFilter::Command> FakeKextFilter::commands() const {
    std::lock_guard lock(m_mutex);
    return m_commands;
}

bool FakeKextFilter::waitForCommands(std::size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_commands.size() >= count; });
}

int FakeKextFilter::sendRecord(const void* data, std::size_t length) {
    std::lock_guard lock(m_mutex);
    int delivered = 0;
    for (const int fd : m_clients) {
        ssize_t sent;
        do {
            sent = ::send(fd, data, length, MSG_NOSIGNAL);
        } while (sent < 0 && errno == EINTR);
        delivered += sent >= 0 ? 1 : 0;
    }
    return delivered;
}

void FakeKextFilter::disconnectClients() {
    std::lock_guard lock(m_mutex);
    for (const int fd : m_clients) {
        // The descriptor stays open until the filter's thread notices, so no send races a close.
        ::shutdown(fd, SHUT_RDWR);
    }
}

std::vector<std::uint8_t> FakeKextFilter::record(std::uint32_t command, std::int32_t pid,
                                                 const std::string& address, std::uint16_t port) {
    sockaddr_storage peer{};
    if (auto* in = reinterpret_cast<sockaddr_in*>(&peer);
        ::inet_pton(AF_INET, address.c_str(), &in->sin_addr) == 1) {
        in->sin_family = AF_INET;
        in->sin_port = htons(port);
    } else if (auto* in6 = reinterpret_cast<sockaddr_in6*>(&peer);
               ::inet_pton(AF_INET6, address.c_str(), &in6->sin6_addr) == 1) {
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(port);
    } else {
        return {};
    }
    Quilvane::Wire::RecordBuffer buffer;
    const std::size_t length =
        Quilvane::Wire::makeRecord(buffer, Quilvane::Wire::KextCommand::outgoingConnection, pid,
                                   reinterpret_cast<const sockaddr*>(&peer));
    std::memcpy(buffer.data(), &command, sizeof command);
    return {buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(length)};
}

std::vector<std::uint8_t> FakeKextFilter::extendedRecord(std::uint32_t command, std::int32_t pid,
                                                         const std::string& address, std::uint16_t port,
                                                         std::uint32_t uid, const std::string& executable,
                                                         const std::string& script, const std::string& host) {
    const std::vector<std::uint8_t> plain = record(command, pid, address, port);
    Quilvane::Wire::RecordBuffer buffer{};
    std::copy(plain.begin(), plain.end(), buffer.begin());
    const std::size_t length =
        Quilvane::Wire::appendRecordExtension(buffer, plain.size(), uid, executable, script, host);
    return {buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(length)};
}

void FakeKextFilter::setRefusing(bool refusing) {
    std::lock_guard lock(m_mutex);
    m_refusing = refusing;
}

void FakeKextFilter::wake() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(m_wake, &one, sizeof one);
}

void FakeKextFilter::run() {
    for (;;) {
        std::vector<pollfd> watched{{m_wake, POLLIN, 0}, {m_listener, POLLIN, 0}};
        {
            std::lock_guard lock(m_mutex);
            if (m_stopping) {
                return;
            }
            for (const int fd : m_clients) {
                watched.push_back({fd, POLLIN, 0});
            }
        }
        if (::poll(watched.data(), watched.size(), -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (watched[0].revents != 0) {
            std::uint64_t count;
            [[maybe_unused]] const ssize_t drained = ::read(m_wake, &count, sizeof count);
            continue;
        }
        if (watched[1].revents != 0) {
            accept();
        }
        for (std::size_t i = 2; i < watched.size(); ++i) {
            if (watched[i].revents != 0) {
                receive(watched[i].fd);
            }
        }
    }
}

void FakeKextFilter::accept() {
    const int fd = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
        return;
    }
    // A client that stops reading must not hang the test that sends to it.
    const timeval timeout{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    std::lock_guard lock(m_mutex);
    ++m_accepted;
    if (m_refusing) {
        ::close(fd);
        m_changed.notify_all();
        return;
    }
    m_clients.push_back(fd);
    m_changed.notify_all();
}

void FakeKextFilter::receive(int fd) {
    std::vector<std::uint8_t> message(Quilvane::Wire::kCommandHeaderSize +
                                      Quilvane::Wire::kMaxCommandPayload);
    const ssize_t length = ::recv(fd, message.data(), message.size(), MSG_DONTWAIT);
    if (length < 0 && (errno == EAGAIN || errno == EINTR)) {
        return;
    }
    std::lock_guard lock(m_mutex);
    if (length <= 0) {
        // The client closed its end (or was disconnected): forget it.
        std::erase(m_clients, fd);
        ::close(fd);
        m_changed.notify_all();
        return;
    }
    const auto command = Quilvane::Wire::parseCommand({message.data(), static_cast<std::size_t>(length)});
    if (!command) {
        return;
    }
    // It says hello as the service does once it has let a client in, but it answers no command and
    // no question for its list, like a service whose list is never confirmed; neither is a command.
    if (command->option == Quilvane::Wire::kHelloOption) {
        m_hellos.emplace_back(command->payload.begin(), command->payload.end());
        m_changed.notify_all();
        const std::vector<std::uint8_t> hello = Quilvane::Wire::encodeReply({});
        [[maybe_unused]] const ssize_t sent = ::send(fd, hello.data(), hello.size(), MSG_NOSIGNAL);
        return;
    }
    if (command->option == Quilvane::Wire::kListInForceOption) {
        return;
    }
    // The parts of a long list are kept, as the service keeps them, and recorded with its last message.
    std::vector<std::uint8_t> payload = std::exchange(m_listParts[fd], {});
    payload.insert(payload.end(), command->payload.begin(), command->payload.end());
    if (command->level == Quilvane::Wire::kSysprotoControl &&
        command->option == Quilvane::Wire::kBlockListPartOption) {
        m_listParts[fd] = std::move(payload);
        return;
    }
    m_commands.push_back({command->level, command->option, std::move(payload)});
    m_changed.notify_all();
}
