// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "kernel/Connection.h"
#include "kernel/HostNameCache.h"
#include "kernel/ProcessAppCache.h"
#include "wire/KextRecord.h"
#include "model/App.h"

#include <QByteArray>
#include <atomic>
#include <cstddef>
#include <vector>

// Turns one message of the filter service into what the application shows: the App of the process
// (built from the record's identity extension when it has one, else from /proc) and, for a
// connection, a Connection with the peer's host name; for a refused attempt, the App alone.
// Processes and host names are remembered (ProcessAppCache, HostNameCache), so a record of a known
// process to a known host costs no system look-up. A host name not yet known is looked up once per
// address however many records wait for it: decode() says whether the caller has to run that
// look-up, and resolveHost() runs it and hands back every connection that waited. Thread-safe.
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
            awaitingHost,    // queued behind a look-up someone else runs
            mustResolveHost, // queued; the caller runs resolveHost(hostKey, record)
        };
        Kind kind = Kind::dropped;
        AppPtr app;
        ConnectionPtr connection;
        QByteArray hostKey;
    };

    explicit RecordDecoder(ProcessAppCache::Factory factory = &ProcessAppCache::makeApp);

    Decoded decode(const Quilvane::Wire::RecordBuffer& record, std::size_t length);
    // Looks up the host of `record` (whose key decode() gave) and returns every connection that
    // waited for it.
    std::vector<Event> resolveHost(const QByteArray& key, const Quilvane::Wire::RecordBuffer& record);

    // getnameinfo by default; replacing it forgets remembered names.
    void setNameResolver(Quilvane::Wire::NameResolver resolver);

private:
    std::atomic<Quilvane::Wire::NameResolver> m_resolver{&::getnameinfo};
    ProcessAppCache m_apps;
    HostNameCache m_hosts;
};
