// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "kernel/AppHostNames.h"
#include "kernel/Connection.h"
#include "kernel/HostNameCache.h"
#include "kernel/ProcessAppCache.h"
#include "model/App.h"
#include "wire/KextRecord.h"

#include <QByteArray>
#include <atomic>
#include <cstddef>
#include <optional>
#include <vector>

// Turns one message of the filter service into what the application shows: the App of the process
// (built from the record's identity extension when it has one, else from /proc) and, for a
// connection, a Connection with the peer's host name; for a refused attempt, the App alone.
//
// The host name is, best first: the name the process looked up, when the record carries it; the
// name another process of the same application looked up for that address (AppHostNames); the
// address's reverse name. Processes and names are remembered (ProcessAppCache, HostNameCache), so
// a record of a known process to a known host costs no system look-up. A reverse name not yet
// known is looked up once per address however many records wait for it: when decode() says so, the
// caller runs a worker, which takes addresses with nextLookup() and hands each to resolveHost()
// until none is left. Thread-safe.
class RecordDecoder final {
public:
    // One message as it was read: the zero-filled buffer and the number of bytes that arrived.
    struct Message {
        Quilvane::Wire::RecordBuffer record{};
        std::size_t length = 0;
    };

    struct Event {
        AppPtr app;
        ConnectionPtr connection;
    };

    struct Decoded {
        enum class Kind {
            dropped,         // unknown command, or a process that gives no App
            connection,      // app and connection are set
            refused,         // an attempt the filter refused: app is set
            awaitingHost,    // queued for a reverse look-up a worker runs
            mustResolveHost, // queued, and the caller starts a worker (see the class comment)
        };
        Kind kind = Kind::dropped;
        AppPtr app;
        ConnectionPtr connection;
        // Earlier records that waited too long for a look-up, to deliver now with their numeric
        // address; set whatever the kind.
        std::vector<Event> givenUp;
    };

    explicit RecordDecoder(ProcessAppCache::Factory factory = &ProcessAppCache::makeApp,
                           const HostNameCache::Limits& limits = {});

    Decoded decode(const Quilvane::Wire::RecordBuffer& record, std::size_t length);
    // A worker's next address to look up; nothing when the worker has to stop.
    std::optional<QByteArray> nextLookup() { return m_hosts.nextLookup(); }
    // Looks up the reverse name of `key` and returns every connection that waited for it.
    std::vector<Event> resolveHost(const QByteArray& key);

    // getnameinfo by default; replacing it forgets remembered names.
    void setNameResolver(Quilvane::Wire::NameResolver resolver);

private:
    std::atomic<Quilvane::Wire::NameResolver> m_resolver{&::getnameinfo};
    ProcessAppCache m_apps;
    AppHostNames m_appNames;
    HostNameCache m_hosts;
};
