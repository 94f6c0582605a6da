// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "kernel/RecordDecoder.h"
#include "kernel/TrafficSubscriber.h"
#include "wire/KextRecord.h"

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class Blacklist;

// The one link to the filter service: it connects to the control socket, sends the complete block
// list (or the empty command when the firewall is off) and reads one connection record per message,
// decoding each off the main thread into the App that made it and a Connection, then calling every
// traffic subscriber on the main thread. Refused attempts are counted in RefusedAttempts instead.
// When the service goes away (end of stream, socket error) the client says so in a notice, connects
// again as soon as the socket is back, and once the service has let it in (its hello) clears the
// notice and calls its reconnected handler. A connection the service ends before letting the client
// in is a refusal (a user polkit turns down, a user with too many clients): trying again at once
// would only be refused again and logged by the service each time, so the client waits longer after
// each refusal in a row.
class KextClient final {
public:
    KextClient();
    ~KextClient();
    KextClient(const KextClient&) = delete;
    KextClient& operator=(const KextClient&) = delete;

    // The shared client, created on first use (it tries to connect at once).
    static KextClient& shared();
    // Tests only: drops the shared client (and stayDisconnected()); the next shared() creates a new one.
    static void resetShared();

    // Connects when not connected; answers whether a control socket is open. Calls never overlap.
    bool connectIfNeeded();
    // Sends the block list's filter names, or the empty command; nothing when not connected.
    void updateBlacklist(const Blacklist* blacklist);

    // The control socket; 0 when not connected.
    int socket() const;

    // The window shows for good that the service does not let this user in: the shared client,
    // made now or later, closes its socket and never connects again in this process.
    static void stayDisconnected();

    // How long the client waits before it connects again after `refusals` refusals in a row.
    static std::chrono::milliseconds delayAfterRefusals(int refusals);
    // Refusals in a row so far; 0 once the service has let the client in.
    int refusalsInARow() const;
    // Whether the service has let this client in on the connection open now (it said hello).
    bool admittedByService() const;

    // Main thread only. Subscribers are held strongly and never removed.
    void addSubscriber(std::shared_ptr<TrafficSubscriber> subscriber);
    const std::vector<std::shared_ptr<TrafficSubscriber>>& subscribers() const { return m_subscribers; }

    // Main thread only: calls every subscriber, in list order, with one connection.
    void notifySubscribers(const ConnectionPtr& connection, const AppPtr& app);

    // Main thread: called once the client has connected again after losing the filter service, so
    // that the current block list can be sent at once.
    void setReconnectedHandler(std::function<void()> handler);

    // One decoded record: the App that made the connection and the connection itself.
    using KextEvent = RecordDecoder::Event;
    // Decodes one message of `length` bytes as the product does, but remembering nothing between
    // calls; nothing for a command other than 0 or 1 or a process that gives no App. The host name
    // is looked up with `resolver` (getnameinfo, flags 0).
    static std::optional<KextEvent> parseKextCommand(const Quilvane::Wire::RecordBuffer& record,
                                                     std::size_t length,
                                                     Quilvane::Wire::NameResolver resolver = &::getnameinfo);

    // Tests and benchmarks: replaces getnameinfo for host-name look-ups and forgets cached names.
    void setNameResolverForTesting(Quilvane::Wire::NameResolver resolver);

private:
    friend struct Pipeline;
    void serviceSaidHello();
    void connectionLost(std::int32_t fd);
    void startRetrying(std::chrono::milliseconds delay);
    void tryReconnecting();

    struct Private;
    std::unique_ptr<Private> d;
    std::vector<std::shared_ptr<TrafficSubscriber>> m_subscribers;
};
