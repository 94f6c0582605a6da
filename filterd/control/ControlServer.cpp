// SPDX-License-Identifier: GPL-3.0-or-later
#include "filterd/control/ControlServer.h"

#include "filterd/Log.h"
#include "filterd/control/BlockListCommand.h"
#include "wire/KextCommandFrame.h"
#include "wire/LocalSocket.h"
#include "wire/RecordExtension.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <linux/sockios.h>
#include <malloc.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using Quilvane::Wire::UniqueFd;
namespace LocalSocket = Quilvane::Wire::LocalSocket;

namespace Filterd {
namespace {

// Connections taken per wake-up: a flood of connects cannot starve hang-ups, commands and records.
constexpr int kAcceptsPerRound = 16;
// Messages read from one client per wake-up, for the same reason.
constexpr int kCommandsPerRound = 8;
// Freed memory that is worth handing back to the system, and how often at most.
constexpr std::size_t kTrimThresholdBytes = 1024 * 1024;
constexpr auto kTrimInterval = std::chrono::seconds(1);
// What a closed client is counted to have freed besides its queue (its connection and bookkeeping).
constexpr std::size_t kClientOverheadBytes = 1024;

// With polkit, anyone may reach the socket and the service decides who stays; without it the
// file modes keep all but the group out as well.
mode_t directoryMode(bool open) {
    return open ? 0755 : 0750;
}
mode_t socketMode(bool open) {
    return open ? 0666 : 0660;
}

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
                      mode_t mode, std::string& error) {
    bool adjust = false;
    if (::mkdir(directory.c_str(), mode) == 0) {
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
        ::chmod(directory.c_str(), mode);
    }
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
    const UniqueFd probe = LocalSocket::createSeqpacket();
    if (probe && LocalSocket::connectTo(probe.get(), path)) {
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
    , m_handler(std::move(handler))
    , m_path(m_options.directory + "/" + m_options.socketName)
    , m_commandBuffer(Quilvane::Wire::kCommandHeaderSize + Quilvane::Wire::kMaxCommandPayload + 1)
    , m_admission(std::make_unique<ClientAdmission>(
          loop, policy, m_options.limits, connectPolkit(),
          [this](UniqueFd socket, const PeerPolicy::Peer& peer, const std::string& how) {
              addClient(std::move(socket), peer, how);
          }))
    , m_clientLines(20, std::chrono::seconds(1))
    , m_commandLines(20, std::chrono::seconds(1)) {}

std::unique_ptr<PolkitAuthority> ControlServer::connectPolkit() {
    if (m_options.polkitAction.empty()) {
        return nullptr;
    }
    return PolkitAuthority::create(m_loop, m_options.polkitAction, m_options.polkitTimeout);
}

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
    if (!LocalSocket::fillAddress(m_path, address)) {
        error = "the control socket path " + m_path + " is too long";
        return false;
    }
    const bool open = !m_options.polkitAction.empty();
    if (!prepareDirectory(m_options.directory, m_options.socketName, m_options.group, directoryMode(open),
                          error) ||
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
    ::chmod(m_path.c_str(), socketMode(open));
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
    // The listener is level-triggered: what is left of a burst is taken on the next round.
    for (int i = 0; i < kAcceptsPerRound; ++i) {
        UniqueFd socket(::accept4(m_listener.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!socket) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED) {
                m_clientLines.line(std::string("accept: ") + std::strerror(errno));
            }
            return;
        }
        m_admission->consider(std::move(socket));
    }
}

void ControlServer::addClient(UniqueFd socket, const PeerPolicy::Peer& peer, const std::string& how) {
    const int fd = socket.get();
    auto client = std::make_unique<ClientConnection>(std::move(socket), peer, m_options.queueCapacity,
                                                     m_options.queueBytes);
    if (!m_loop.add(fd, EPOLLIN | EPOLLRDHUP,
                    [this, fd](std::uint32_t events) { handleClient(fd, events); })) {
        m_admission->released(peer.uid);
        return;
    }
    client->setSerial(++m_nextSerial);
    m_clientLines.line("accepted " + describe(*client) + ", " + how);
    m_clients.emplace(fd, std::move(client));
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
    // A hang-up comes with EPOLLIN, and readCommands closes the client once it has read what was
    // sent before it.
    if ((events & EPOLLERR) != 0 || ((events & (EPOLLHUP | EPOLLRDHUP)) != 0 && (events & EPOLLIN) == 0)) {
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
            // An empty message and the end of the stream both read as 0 bytes: the client is gone
            // only when it hung up and left nothing else to read. An empty message is ignored.
            if (LocalSocket::emptyReadEndsStream(client.fd())) {
                closeClient(client.fd(), "disconnected");
                return false;
            }
            continue;
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
        const std::size_t messageLength = static_cast<std::size_t>(length);
        if (takeListPart(client, messageLength) || takeRequest(client, messageLength)) {
            continue;
        }
        auto command = completeCommand(client, messageLength);
        const std::uint32_t sequence = client.wantsReplies() ? client.nextSequence() : 0;
        using Quilvane::Wire::ReplyKind;
        if (!command.valid()) {
            m_commandLines.line("refused a command from " + describe(client) + ": " + command.error() +
                                "; the current list stays");
            reply(client, {ReplyKind::refused, sequence, 0, "invalid", command.error(), {}});
            continue;
        }
        const std::uint64_t ticket = ++m_nextTicket;
        command.setTicket(ticket);
        m_pending[ticket] = {client.serial(), sequence, command.names()};
        std::string error;
        if (!m_handler({client.peer().uid, isAdmin(client.peer())}, command, error)) {
            m_pending.erase(ticket);
            m_commandLines.line("could not apply the list of " + describe(client) + ": " + error +
                                "; the current list stays");
            reply(client, {ReplyKind::refused, sequence, 0, "not-applied", error, {}});
            continue;
        }
        // A backend that applied it at once has answered already (listApplied ran).
        if (m_pending.contains(ticket)) {
            reply(client, {ReplyKind::waiting, sequence, 0, {}, {}, {}});
        }
        m_commandLines.line(describe(client) + " set the block list (" + std::to_string(command.nameCount()) +
                            " names)");
    }
    return true; // more may wait: the loop comes back, after the other clients had their turn
}

// A hello (replies on) or a question for the list in force; neither is a block-list command.
bool ControlServer::takeRequest(ClientConnection& client, std::size_t messageLength) {
    using namespace Quilvane::Wire;
    if (messageLength > m_commandBuffer.size()) {
        return false;
    }
    const auto message = parseCommand(std::span(m_commandBuffer).first(messageLength));
    if (!message || message->level != kSysprotoControl) {
        return false;
    }
    if (message->option == kHelloOption) {
        client.setWantsReplies();
        if (std::uint32_t version = 0; message->payload.size() == kHelloVersionSize) {
            std::memcpy(&version, message->payload.data(), sizeof version);
            if (version >= kRecordExtensionHostVersion) {
                client.setReadsHostNames();
            }
        }
        reply(client, {ReplyKind::hello, 0, 0, {}, {}, {}});
        return true;
    }
    if (message->option == kListInForceOption) {
        answerListRequest(client, message->payload);
        return true;
    }
    return false;
}

// The sender's own list, or (root and administrators only) any owner's.
void ControlServer::answerListRequest(ClientConnection& client, std::span<const std::uint8_t> payload) {
    using namespace Quilvane::Wire;
    ListOwner owner = ownerOf(client.peer());
    if (payload.size() == sizeof(std::uint32_t)) {
        std::memcpy(&owner, payload.data(), sizeof owner);
    } else if (!payload.empty()) {
        reply(client, {ReplyKind::listEnd,
                       0,
                       0,
                       "invalid",
                       "a list is asked for with no payload or a 4-byte owner",
                       {}});
        return;
    }
    if (owner != ownerOf(client.peer()) && !isAdmin(client.peer())) {
        reply(client,
              {ReplyKind::listEnd, 0, 0, "not-allowed", "only administrators may see another list", {}});
        return;
    }
    const auto it = m_inForce.find(owner);
    if (it == m_inForce.end()) {
        // Blocks pinned by an earlier run are kept as hashes only: their names cannot be told.
        reply(client, {ReplyKind::listEnd, 0, 0, "unknown", "no list was set since the service started", {}});
        return;
    }
    if (client.wantsReplies()) {
        for (const auto& message : encodeListReply(it->second)) {
            client.enqueue(message.data(), message.size());
        }
    }
}

void ControlServer::reply(ClientConnection& client, const Quilvane::Wire::ServiceReply& reply) {
    if (!client.wantsReplies()) {
        return; // a client of the plain protocol gets nothing it cannot read
    }
    const auto message = Quilvane::Wire::encodeReply(reply);
    client.enqueue(message.data(), message.size());
}

ClientConnection* ControlServer::clientWithSerial(std::uint64_t serial) {
    for (auto& [fd, client] : m_clients) {
        if (client->serial() == serial) {
            return client.get();
        }
    }
    return nullptr;
}

void ControlServer::listApplied(const FilterBackend::ListOutcome& outcome) {
    using Quilvane::Wire::ReplyKind;
    const auto it = m_pending.find(outcome.ticket);
    if (it == m_pending.end()) {
        return;
    }
    PendingCommand pending = std::move(it->second);
    m_pending.erase(it);
    if (outcome.code.empty()) {
        m_inForce[outcome.owner] = std::move(pending.names);
    }
    ClientConnection* client = clientWithSerial(pending.client);
    if (client == nullptr) {
        return;
    }
    if (outcome.code.empty()) {
        reply(*client,
              {ReplyKind::inForce, pending.sequence, static_cast<std::uint32_t>(outcome.names), {}, {}, {}});
    } else {
        reply(*client, {ReplyKind::refused, pending.sequence, 0, outcome.code, outcome.error, {}});
    }
    flushClient(*client);
}

// A part of a list sent in several messages: kept with its client until the final message.
bool ControlServer::takeListPart(ClientConnection& client, std::size_t messageLength) {
    using namespace Quilvane::Wire;
    if (messageLength > m_commandBuffer.size()) {
        return false; // too long for any command; refused as one
    }
    const auto message = parseCommand(std::span(m_commandBuffer).first(messageLength));
    if (!message || message->level != kSysprotoControl || message->option != kBlockListPartOption) {
        return false;
    }
    if (!message->payload.empty() && message->payload.back() != 0) {
        client.addListPart({}, 0); // a list with a broken part is refused whole
        m_commandLines.line("refused a part of a list from " + describe(client) +
                            ": it does not end in a NUL byte");
    } else if (!client.addListPart(message->payload, kMaxCommandPayload)) {
        m_commandLines.line("refused the list " + describe(client) +
                            " is sending: its parts pass the limit of " + std::to_string(kMaxCommandPayload) +
                            " bytes; the current list stays");
    }
    return true;
}

// The command of a final message, with the parts its client sent before it.
BlockListCommand ControlServer::completeCommand(ClientConnection& client, std::size_t messageLength) {
    using namespace Quilvane::Wire;
    bool overflowed = false;
    std::vector<std::uint8_t> names = client.takeListParts(overflowed);
    if (overflowed) {
        return BlockListCommand::refused("its parts were refused");
    }
    const auto message = messageLength <= m_commandBuffer.size()
                             ? parseCommand(std::span(m_commandBuffer).first(messageLength))
                             : std::nullopt;
    if (names.empty() || !message) {
        return BlockListCommand::parse(m_commandBuffer, messageLength);
    }
    names.insert(names.end(), message->payload.begin(), message->payload.end());
    const auto joined = frameCommand(message->level, message->option, names.data(), names.size());
    return BlockListCommand::parse(joined, joined.size());
}

void ControlServer::broadcast(const std::uint8_t* record, std::size_t length) {
    for (auto& [fd, client] : m_clients) {
        client->enqueue(record, length);
    }
}

void ControlServer::deliver(std::span<const std::uint8_t> record, uid_t owner) {
    deliver(record, record, owner);
}

void ControlServer::deliver(std::span<const std::uint8_t> record, std::span<const std::uint8_t> withHost,
                            uid_t owner) {
    for (auto& [fd, client] : m_clients) {
        if (client->peer().uid == owner || isAdmin(client->peer())) {
            const auto chosen = client->readsHostNames() ? withHost : record;
            client->enqueue(chosen.data(), chosen.size());
        }
    }
}

ListOwner ControlServer::ownerOf(const PeerPolicy::Peer& peer) const {
    return isAdmin(peer) ? kEveryone : peer.uid;
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
    std::size_t queuedBytes = 0;
    for (auto& [fd, client] : m_clients) {
        queuedBytes += client->queuedBytes();
        if (client->hasPending() && !client->waitingForWrite()) {
            flushClient(*client);
        }
        if (const std::uint64_t drops = client->takeNewDrops(now, std::chrono::seconds(5)); drops > 0) {
            Log::line(describe(*client) + " is not keeping up: dropped " + std::to_string(drops) +
                      " records (" + std::to_string(client->dropped()) + " in all)");
        }
    }
    if (queuedBytes < m_queuedBytesLastFlush) {
        m_freedSinceTrim += m_queuedBytesLastFlush - queuedBytes;
    }
    m_queuedBytesLastFlush = queuedBytes;
    returnMemoryAfterBurst(now);
}

// The allocator keeps freed memory for the process; after a burst of records or of clients it is
// handed back, so that the service's size follows its clients down again.
void ControlServer::returnMemoryAfterBurst(std::chrono::steady_clock::time_point now) {
    if (m_freedSinceTrim < kTrimThresholdBytes || now - m_lastTrim < kTrimInterval) {
        return;
    }
    ::malloc_trim(0);
    m_freedSinceTrim = 0;
    m_lastTrim = now;
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
    m_clientLines.line(describe(client) + " " + why + " after " + std::to_string(client.delivered()) +
                       " records (" + std::to_string(client.dropped()) + " dropped)");
    m_droppedByClosedClients += client.dropped();
    m_freedSinceTrim += client.queuedBytes() + kClientOverheadBytes;
    m_queuedBytesLastFlush -= std::min(m_queuedBytesLastFlush, client.queuedBytes());
    m_admission->released(client.peer().uid);
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
