#pragma once

#include "kernel/TrafficSubscriber.h"

#include <memory>
#include <vector>

class Blacklist;

// The one link to the filter service: it connects to the control socket, sends the complete block
// list (or the empty command when the firewall is off) and reads one connection record per message,
// decoding each off the main thread into the App that made it and a Connection, then calling every
// traffic subscriber on the main thread.
class KextClient final {
public:
    KextClient();
    ~KextClient();
    KextClient(const KextClient&) = delete;
    KextClient& operator=(const KextClient&) = delete;

    // The shared client, created on first use (it tries to connect at once).
    static KextClient& shared();
    // Tests only: drops the shared client; the next shared() creates a new one.
    static void resetShared();

    // Connects when not connected; answers whether a control socket is open. Calls never overlap.
    bool connectIfNeeded();
    // Sends the block list's filter names, or the empty command; nothing when not connected.
    void updateBlacklist(const Blacklist* blacklist);

    // The control socket; 0 when not connected.
    int socket() const;

    // Main thread only. Subscribers are held strongly and never removed.
    void addSubscriber(std::shared_ptr<TrafficSubscriber> subscriber);
    const std::vector<std::shared_ptr<TrafficSubscriber>>& subscribers() const { return m_subscribers; }

private:
    struct Private;
    std::unique_ptr<Private> d;
    std::vector<std::shared_ptr<TrafficSubscriber>> m_subscribers;
};
