#include "filterd/ControlServer.h"

#include "filterd/BlockListCommand.h"
#include "filterd/Log.h"
#include "kernel/wire/KextCommandFrame.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using Quilvane::Wire::UniqueFd;

namespace Filterd {
namespace {

constexpr int kSendBufferBytes = 4 * 1024 * 1024;
constexpr mode_t kDirectoryMode = 0750; // the group must be able to search it to reach the socket
constexpr mode_t kSocketMode = 0660;

bool directoryIsEmptyBut(const std::string& directory, const std::string& name) {
    DIR* dir = ::opendir(directory.c_str());
    if (dir == nullptr) {
        return false;
    }
    bool empty = true;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string entryName = entry->d_name;
        if (entryName != "." && entryName != ".." && entryName != name) {
            empty = false;
            break;
        }
    }
    ::closedir(dir);
    return empty;
}

// A directory the service made, or an empty one of its own (as systemd's RuntimeDirectory= makes
// it), gets the mode and group; anything else given on the command line is used as it is, so
// that a mistaken --control-dir never changes the permissions of a shared folder.
bool prepareDirectory(const std::string& directory, const std::string& socketName, std::optional<gid_t> group,
                      std::string& error) {
    bool adjust = false;
    if (::mkdir(directory.c_str(), kDirectoryMode) == 0) {
        adjust = true;
    } else if (errno == EEXIST) {
        struct stat st {};
        if (::stat(directory.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            error = directory + " exists and is not a directory";
            return false;
        }
        adjust = st.st_uid == ::geteuid() && (st.st_mode & S_ISVTX) == 0 &&
                 directoryIsEmptyBut(directory, socketName);
    } else {
        error = "cannot create " + directory + ": " + std::strerror(errno);
        return false;
    }
    if (adjust) {
        if (group && ::chown(directory.c_str(), static_cast<uid_t>(-1), *group) != 0) {
            Log::error("cannot give " + directory + " to group " + std::to_string(*group), errno);
        }
        ::chmod(directory.c_str(), kDirectoryMode);
    }
    return true;
}

bool fillAddress(const std::string& path, sockaddr_un& address) {
    address = {};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

// An existing socket file is either a running service's (refuse to start) or left over from one
// that died (remove it).
bool clearStaleSocket(const std::string& path, std::string& error) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        return true;
    }
    if (!S_ISSOCK(st.st_mode)) {
        error = path + " exists and is not a socket";
        return false;
    }
    UniqueFd probe(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    sockaddr_un address;
    fillAddress(path, address);
    if (probe && ::connect(probe.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        error = "another quilvane-filterd is already listening on " + path;
        return false;
    }
    if (::unlink(path.c_str()) != 0) {
        error = "cannot remove the stale socket " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

} // namespace

std::unique_ptr<ControlServer> ControlServer::create(EventLoop& loop, const Options& options,
                                                     PeerPolicy policy, CommandHandler handler,
                                                     std::string& error) {
    std::unique_ptr<ControlServer> server(new ControlServer(loop, options, policy, std::move(handler)));
    if (!server->listen(error)) {
        return nullptr;
    }
    return server;
}

ControlServer::ControlServer(EventLoop& loop, Options options, PeerPolicy policy, CommandHandler handler)
    : m_loop(loop)
    , m_options(std::move(options))
    , m_policy(policy)
    , m_handler(std::move(handler))
    , m_path(m_options.directory + "/" + m_options.socketName)
    , m_commandBuffer(Quilvane::Wire::kCommandHeaderSize + Quilvane::Wire::kMaxCommandPayload + 1) {}

ControlServer::~ControlServer() {
    for (auto& [fd, client] : m_clients) {
        m_loop.remove(fd);
    }
    m_clients.clear();
    if (m_listener) {
        m_loop.remove(m_listener.get());
        ::unlink(m_path.c_str());
    }
}

bool ControlServer::listen(std::string& error) {
    sockaddr_un address;
    if (!fillAddress(m_path, address)) {
        error = "the control socket path " + m_path + " is too long";
        return false;
    }
    if (!prepareDirectory(m_options.directory, m_options.socketName, m_options.group, error) ||
        !clearStaleSocket(m_path, error)) {
        return false;
    }
    UniqueFd listener(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!listener) {
        error = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    // Nobody but the owner may connect before the mode and group are set.
    const mode_t oldMask = ::umask(0177);
    const int bound = ::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
    const int bindError = errno;
    ::umask(oldMask);
    if (bound != 0) {
        error = "cannot bind " + m_path + ": " + std::strerror(bindError);
        return false;
    }
    if (m_options.group && ::chown(m_path.c_str(), static_cast<uid_t>(-1), *m_options.group) != 0) {
        Log::error("cannot give " + m_path + " to group " + std::to_string(*m_options.group), errno);
    }
    ::chmod(m_path.c_str(), kSocketMode);
    if (::listen(listener.get(), SOMAXCONN) != 0) {
        error = std::string("listen: ") + std::strerror(errno);
        ::unlink(m_path.c_str());
        return false;
    }
    if (!m_loop.add(listener.get(), EPOLLIN, [this](std::uint32_t) { acceptClients(); })) {
        error = "cannot watch the control socket";
        ::unlink(m_path.c_str());
        return false;
    }
    m_listener = std::move(listener);
    return true;
}

void ControlServer::acceptClients() {
    for (;;) {
        UniqueFd socket(::accept4(m_listener.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!socket) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                Log::error("accept", errno);
            }
            return;
        }
        const auto peer = PeerPolicy::peerOf(socket.get());
        if (!peer) {
            Log::error("refused a client whose credentials could not be read", errno);
            continue;
        }
        if (!m_policy.allows(*peer)) {
            Log::line("refused client pid " + std::to_string(peer->pid) + " (uid " +
                      std::to_string(peer->uid) + "): neither root nor a member of the service's group");
            continue;
        }
        // Room for bursts; as root the limit of net.core.wmem_max does not apply.
        if (::setsockopt(socket.get(), SOL_SOCKET, SO_SNDBUFFORCE, &kSendBufferBytes,
                         sizeof kSendBufferBytes) != 0) {
            ::setsockopt(socket.get(), SOL_SOCKET, SO_SNDBUF, &kSendBufferBytes, sizeof kSendBufferBytes);
        }
        const int fd = socket.get();
        auto client = std::make_unique<ClientConnection>(std::move(socket), *peer, m_options.queueCapacity);
        if (!m_loop.add(fd, EPOLLIN | EPOLLRDHUP,
                        [this, fd](std::uint32_t events) { handleClient(fd, events); })) {
            continue;
        }
        Log::line("accepted " + describe(*client));
        m_clients.emplace(fd, std::move(client));
    }
}

std::string ControlServer::describe(const ClientConnection& client) const {
    return "client pid " + std::to_string(client.peer().pid) + " (uid " + std::to_string(client.peer().uid) +
           ")";
}

void ControlServer::handleClient(int fd, std::uint32_t events) {
    const auto it = m_clients.find(fd);
    if (it == m_clients.end()) {
        return;
    }
    ClientConnection& client = *it->second;
    // One command per wake-up keeps records flowing between big commands; a client that hangs up
    // has every command it sent applied first.
    const bool hangingUp = (events & (EPOLLHUP | EPOLLRDHUP | EPOLLERR)) != 0;
    if ((events & EPOLLIN) != 0 && !readCommands(client, hangingUp ? SIZE_MAX : 1)) {
        return; // closed
    }
    if ((events & (EPOLLHUP | EPOLLRDHUP | EPOLLERR)) != 0) {
        closeClient(fd, "disconnected");
        return;
    }
    if ((events & EPOLLOUT) != 0) {
        flushClient(client);
    }
}

bool ControlServer::readCommands(ClientConnection& client, std::size_t limit) {
    for (std::size_t handled = 0; handled < limit; ++handled) {
        const ssize_t length =
            ::recv(client.fd(), m_commandBuffer.data(), m_commandBuffer.size(), MSG_DONTWAIT | MSG_TRUNC);
        if (length == 0) {
            closeClient(client.fd(), "disconnected");
            return false;
        }
        if (length < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                return true;
            }
            if (errno == EINTR) {
                continue;
            }
            closeClient(client.fd(), errno == ECONNRESET ? std::string("disconnected")
                                                         : std::string("failed: ") + std::strerror(errno));
            return false;
        }
        const auto command = BlockListCommand::parse(m_commandBuffer, static_cast<std::size_t>(length));
        if (!command.valid()) {
            Log::line("refused a command from " + describe(client) + ": " + command.error() +
                      "; the current list stays");
            continue;
        }
        std::string error;
        if (!m_handler({client.peer().uid, isAdmin(client.peer())}, command, error)) {
            Log::line("could not apply the list of " + describe(client) + ": " + error +
                      "; the current list stays");
            continue;
        }
        Log::line(describe(client) + " set the block list (" + std::to_string(command.nameCount()) +
                  " names)");
    }
    return true; // more may be waiting: the socket stays readable and epoll calls again
}

void ControlServer::broadcast(const std::uint8_t* record, std::size_t length) {
    for (auto& [fd, client] : m_clients) {
        client->enqueue(record, length);
    }
}

void ControlServer::deliver(const std::uint8_t* record, std::size_t length, uid_t owner) {
    for (auto& [fd, client] : m_clients) {
        if (client->peer().uid == owner || isAdmin(client->peer())) {
            client->enqueue(record, length);
        }
    }
}

bool ControlServer::isAdmin(const PeerPolicy::Peer& peer) const {
    if (peer.uid == 0 || peer.uid == ::geteuid()) {
        return true;
    }
    const auto& groups = peer.groups;
    return m_options.adminGroup &&
           (peer.gid == *m_options.adminGroup ||
            std::find(groups.begin(), groups.end(), *m_options.adminGroup) != groups.end());
}

void ControlServer::flush() {
    const auto now = std::chrono::steady_clock::now();
    for (auto& [fd, client] : m_clients) {
        if (client->hasPending() && !client->waitingForWrite()) {
            flushClient(*client);
        }
        if (const std::uint64_t drops = client->takeNewDrops(now, std::chrono::seconds(5)); drops > 0) {
            Log::line(describe(*client) + " is not keeping up: dropped " + std::to_string(drops) +
                      " records (" + std::to_string(client->dropped()) + " in all)");
        }
    }
}

void ControlServer::flushClient(ClientConnection& client) {
    switch (client.flush()) {
    case ClientConnection::FlushResult::empty:
        if (client.waitingForWrite()) {
            client.setWaitingForWrite(false);
            m_loop.modify(client.fd(), EPOLLIN | EPOLLRDHUP);
        }
        break;
    case ClientConnection::FlushResult::blocked:
        if (!client.waitingForWrite()) {
            client.setWaitingForWrite(true);
            m_loop.modify(client.fd(), EPOLLIN | EPOLLRDHUP | EPOLLOUT);
        }
        break;
    case ClientConnection::FlushResult::failed:
        // The peer is gone; the next epoll round reports the hang-up and closes it.
        client.setWaitingForWrite(true);
        break;
    }
}

void ControlServer::closeClient(int fd, const std::string& why) {
    const auto it = m_clients.find(fd);
    if (it == m_clients.end()) {
        return;
    }
    const ClientConnection& client = *it->second;
    Log::line(describe(client) + " " + why + " after " + std::to_string(client.delivered()) + " records (" +
              std::to_string(client.dropped()) + " dropped)");
    m_droppedByClosedClients += client.dropped();
    m_loop.remove(fd);
    m_clients.erase(it);
}

std::uint64_t ControlServer::droppedRecords() const {
    std::uint64_t total = m_droppedByClosedClients;
    for (const auto& [fd, client] : m_clients) {
        total += client->dropped();
    }
    return total;
}

} // namespace Filterd
