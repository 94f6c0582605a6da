// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QHash>
#include <QMutex>
#include <QString>
#include <deque>
#include <optional>

// Remembers, per application, the name its processes looked up for each address, as the filter
// service reported it with their records. A process that reuses a connection, or a helper process
// that was handed an address, reports no name of its own; the name another process of the same
// application looked up is the best guess for it, far better than the address's reverse name (a
// shared CDN address is registered under one name for many sites). Bounded: past `capacity` pairs
// the oldest learnt is forgotten first. Thread-safe.
class AppHostNames final {
public:
    explicit AppHostNames(qsizetype capacity = 8192);

    // `application` is the App's identifier key; `address` a HostNameCache key.
    void remember(const QString& application, const QByteArray& address, const QString& name);
    std::optional<QString> find(const QString& application, const QByteArray& address) const;

    void clear();

private:
    static QByteArray keyOf(const QString& application, const QByteArray& address);

    const qsizetype m_capacity;
    mutable QMutex m_mutex;
    QHash<QByteArray, QString> m_names;
    std::deque<QByteArray> m_order; // first learnt first; a name learnt again keeps its place
};
