// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "kernel/Connection.h"
#include "model/App.h"
#include "wire/KextRecord.h"

#include <QByteArray>
#include <QHash>
#include <QMutex>
#include <QString>
#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

// Remembers reverse look-ups of host names for a short while, and queues the look-ups still to do
// with the records that wait for them, so a slow name server costs one look-up per address rather
// than one per record. Everything it holds is bounded: a resolver that never answers ties up at
// most `workers` threads, `queuedLookups` addresses and `waitingRecords` records. Past a bound the
// oldest is given up first, and its records are handed back to be shown with the numeric address
// rather than lost. Thread-safe.
class HostNameCache final {
public:
    using Clock = std::chrono::steady_clock;
    using HostOrigin = Connection::HostOrigin;

    // A decoded record that waits for the host name of its peer.
    struct Pending {
        AppPtr app;
        int port = 0;
    };

    // A record given up on to stay within the bounds; `key` names its peer.
    struct Dropped {
        QByteArray key;
        Pending pending;
    };

    struct Name {
        QString hostname;
        HostOrigin origin = HostOrigin::address;
    };

    // A queued address costs a few dozen bytes and a waiting record about as much, so the bounds
    // are set well above a burst of new peers (a browser starting up) and still cost about a
    // megabyte when every look-up hangs.
    struct Limits {
        Clock::duration lifetime = std::chrono::seconds(10);
        qsizetype names = 4096;
        int workers = 128;              // look-ups running at once
        qsizetype queuedLookups = 4096; // addresses waiting for a worker
        qsizetype waitingRecords = 16384;
    };

    // What findOrWait() found.
    struct Wait {
        std::optional<Name> name;     // known: nothing was queued
        bool startWorker = false;     // the caller runs one worker loop over nextLookup()
        std::vector<Dropped> dropped; // oldest first
    };

    HostNameCache();
    explicit HostNameCache(const Limits& limits);

    // The look-up key of a peer: its family and address (the port plays no part in a host name).
    static QByteArray keyFor(const Quilvane::Wire::NativeAddress& address);
    // The address a key stands for, without a port; nothing for a key keyFor() did not make.
    static std::optional<Quilvane::Wire::NativeAddress> addressFor(const QByteArray& key);
    // The numeric text of a key's address ("192.0.2.1", "fe80::1%eth0"); empty when it has none.
    static QString numericHost(const QByteArray& key);

    // The remembered name of `key` when it is still fresh. Otherwise `pending` waits for it, and a
    // look-up of `key` is queued unless one is already queued or running.
    Wait findOrWait(const QByteArray& key, Pending pending);

    // A worker's next address to look up, oldest first. Nothing when the queue is empty, and the
    // worker is then counted as gone: it must stop.
    std::optional<QByteArray> nextLookup();

    // Stores the result of a look-up and hands back everything that waited for it.
    std::vector<Pending> complete(const QByteArray& key, const Name& name);

    // Forgets every remembered name (look-ups under way still complete).
    void clear();

private:
    struct Entry {
        Name name;
        Clock::time_point expires;
    };
    struct Waiter {
        Pending pending;
        std::uint64_t serial = 0;
    };

    void makeRoom(Clock::time_point now);
    void dropOldestQueued(std::vector<Dropped>& dropped);
    void dropOldestWaiter(std::vector<Dropped>& dropped);

    const Limits m_limits;
    QMutex m_mutex;
    QHash<QByteArray, Entry> m_names;
    // One entry for each address whose look-up is queued or running, even when nothing waits.
    QHash<QByteArray, std::deque<Waiter>> m_waiting;
    std::deque<QByteArray> m_queue;
    qsizetype m_waiterCount = 0;
    std::uint64_t m_nextSerial = 0;
    int m_workers = 0;
};
