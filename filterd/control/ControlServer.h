// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "filterd/EventLoop.h"
#include "filterd/FilterBackend.h"
#include "filterd/control/BlockListCommand.h"
#include "filterd/control/ClientAdmission.h"
#include "filterd/control/ClientConnection.h"
#include "filterd/control/LogThrottle.h"
#include "filterd/control/PeerPolicy.h"
#include "filterd/control/PolkitAuthority.h"
#include "wire/ServiceReply.h"
#include "wire/UniqueFd.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace Filterd {

// The control socket: an AF_UNIX SOCK_SEQPACKET socket in the control directory, owned by the
// service's group. Anyone may connect to it when polkit is asked (mode 0666), else only the group
// (0660); ClientAdmission decides who stays, up to the client limits. It hands each valid
// block-list command to the CommandHandler (refusing malformed ones with a log line), and sends
// every record to every client through that client's bounded queue.
class ControlServer final {
public:
    // Who sent a command: its user, and whether its list is the one for every process (root, the
    // service's own user, a member of the administrators' group).
    struct CommandSender {
        uid_t uid = 0;
        bool admin = false;
    };
    // Replaces the whole list of the sender; false, with `error` set, leaves its previous list in force.
    using CommandHandler =
        std::function<bool(const CommandSender& sender, const BlockListCommand& command, std::string& error)>;

    struct Options {
        std::string directory;
        std::string socketName;
        std::optional<gid_t> group;      // owner group of the directory and the socket
        std::optional<gid_t> adminGroup; // members send the list for every process and see every record
        std::size_t queueCapacity = 16384;
        std::size_t queueBytes = 2 * 1024 * 1024; // per client
        ClientAdmission::Limits limits;
        std::string polkitAction = kManageAction; // empty: the group rule alone
        std::chrono::milliseconds polkitTimeout{1000};
    };

    static std::unique_ptr<ControlServer> create(EventLoop& loop, const Options& options, PeerPolicy policy,
                                                 CommandHandler handler, std::string& error);
    ~ControlServer();
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    const std::string& socketPath() const { return m_path; }

    // Queues one record for every client; call flush() once a batch is queued.
    void broadcast(const std::uint8_t* record, std::size_t length);
    // Queues one record of a process of `owner` for the clients of that user and the administrators.
    void deliver(std::span<const std::uint8_t> record, uid_t owner);
    // The same record twice: with the host name for the clients that read it, without for the rest.
    void deliver(std::span<const std::uint8_t> record, std::span<const std::uint8_t> withHost, uid_t owner);
    void flush();

    // A list the handler accepted took force or failed: its sender hears so, if it asked for
    // replies, and the names of a list in force are kept to answer who asks for it.
    void listApplied(const FilterBackend::ListOutcome& outcome);

    std::size_t clientCount() const { return m_clients.size(); }
    std::uint64_t droppedRecords() const;

private:
    ControlServer(EventLoop& loop, Options options, PeerPolicy policy, CommandHandler handler);

    bool listen(std::string& error);
    void acceptClients();
    void addClient(Quilvane::Wire::UniqueFd socket, const PeerPolicy::Peer& peer, const std::string& how);
    std::unique_ptr<PolkitAuthority> connectPolkit();
    void returnMemoryAfterBurst(std::chrono::steady_clock::time_point now);
    void handleClient(int fd, std::uint32_t events);
    bool readCommands(ClientConnection& client, std::size_t limit);
    bool takeListPart(ClientConnection& client, std::size_t messageLength);
    BlockListCommand completeCommand(ClientConnection& client, std::size_t messageLength);
    void flushClient(ClientConnection& client);
    void closeClient(int fd, const std::string& why);
    std::string describe(const ClientConnection& client) const;
    bool isAdmin(const PeerPolicy::Peer& peer) const;
    ListOwner ownerOf(const PeerPolicy::Peer& peer) const;
    bool takeRequest(ClientConnection& client, std::size_t messageLength);
    void answerListRequest(ClientConnection& client, std::span<const std::uint8_t> payload);
    void reply(ClientConnection& client, const Quilvane::Wire::ServiceReply& reply);
    ClientConnection* clientWithSerial(std::uint64_t serial);

    EventLoop& m_loop;
    Options m_options;
    CommandHandler m_handler;
    std::string m_path;
    Quilvane::Wire::UniqueFd m_listener;
    std::map<int, std::unique_ptr<ClientConnection>> m_clients;
    std::vector<std::uint8_t> m_commandBuffer;
    std::uint64_t m_droppedByClosedClients = 0;
    std::unique_ptr<ClientAdmission> m_admission;
    LogThrottle m_clientLines;
    LogThrottle m_commandLines; // a client may send commands as fast as it likes
    std::size_t m_freedSinceTrim = 0;
    std::size_t m_queuedBytesLastFlush = 0;
    std::chrono::steady_clock::time_point m_lastTrim{};

    // Commands handed on whose outcome is not known yet, by ticket.
    struct PendingCommand {
        std::uint64_t client = 0; // serial
        std::uint32_t sequence = 0;
        std::vector<std::string> names;
    };
    std::map<std::uint64_t, PendingCommand> m_pending;
    std::map<ListOwner, std::vector<std::string>> m_inForce; // lists set since the service started
    std::uint64_t m_nextTicket = 0;
    std::uint64_t m_nextSerial = 0;
};

} // namespace Filterd
