// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "wire/KextRecord.h"
#include "model/App.h"

#include <QByteArray>
#include <QHash>
#include <QMutex>
#include <QString>
#include <chrono>
#include <optional>
#include <vector>

// Remembers host-name look-ups for a short while and lets records that need the same address wait
// for the one look-up already under way, so a slow name server costs one blocked thread per
// address rather than one per record. Thread-safe.
class HostNameCache final {
public:
    using Clock = std::chrono::steady_clock;

    // A decoded record that waits for the host name of its peer.
    struct Pending {
        AppPtr app;
        int port = 0;
    };

    explicit HostNameCache(Clock::duration lifetime = std::chrono::seconds(10), qsizetype capacity = 4096);

    // The look-up key of a peer: its family and address (the port plays no part in a host name).
    static QByteArray keyFor(const Quilvane::Wire::NativeAddress& address);

    // The remembered name of `key` when it is still fresh. Otherwise `pending` is queued for it and
    // `mustResolve` says whether the caller is the first and has to run the look-up.
    std::optional<QString> findOrWait(const QByteArray& key, Pending pending, bool& mustResolve);

    // Stores the result of a look-up and hands back everything that waited for it.
    std::vector<Pending> complete(const QByteArray& key, const QString& hostname);

    // Forgets every remembered name (look-ups under way still complete).
    void clear();

private:
    struct Entry {
        QString hostname;
        Clock::time_point expires;
    };

    void makeRoom(Clock::time_point now);

    const Clock::duration m_lifetime;
    const qsizetype m_capacity;
    QMutex m_mutex;
    QHash<QByteArray, Entry> m_names;
    QHash<QByteArray, std::vector<Pending>> m_waiting;
};
