// SPDX-License-Identifier: GPL-3.0-or-later
#include "kernel/HostNameCache.h"

#include <QMutexLocker>
#include <netinet/in.h>

HostNameCache::HostNameCache(Clock::duration lifetime, qsizetype capacity)
    : m_lifetime(lifetime)
    , m_capacity(capacity) {}

QByteArray HostNameCache::keyFor(const Quilvane::Wire::NativeAddress& address) {
    const auto* raw = reinterpret_cast<const char*>(&address.storage);
    if (address.storage.ss_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(&address.storage);
        return QByteArray(1, '4') +
               QByteArray(reinterpret_cast<const char*>(&in->sin_addr), sizeof in->sin_addr);
    }
    if (address.storage.ss_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&address.storage);
        return QByteArray(1, '6') +
               QByteArray(reinterpret_cast<const char*>(&in6->sin6_addr), sizeof in6->sin6_addr) +
               QByteArray(reinterpret_cast<const char*>(&in6->sin6_scope_id), sizeof in6->sin6_scope_id);
    }
    return QByteArray(raw, address.length);
}

std::optional<QString> HostNameCache::findOrWait(const QByteArray& key, Pending pending, bool& mustResolve) {
    const auto now = Clock::now();
    QMutexLocker lock(&m_mutex);
    if (const auto found = m_names.constFind(key); found != m_names.cend() && found->expires > now) {
        mustResolve = false;
        return found->hostname;
    }
    auto& waiting = m_waiting[key];
    mustResolve = waiting.empty();
    waiting.push_back(std::move(pending));
    return std::nullopt;
}

std::vector<HostNameCache::Pending> HostNameCache::complete(const QByteArray& key, const QString& hostname) {
    const auto now = Clock::now();
    QMutexLocker lock(&m_mutex);
    makeRoom(now);
    m_names.insert(key, Entry{hostname, now + m_lifetime});
    return m_waiting.take(key);
}

void HostNameCache::clear() {
    QMutexLocker lock(&m_mutex);
    m_names.clear();
}

void HostNameCache::makeRoom(Clock::time_point now) {
    if (m_names.size() < m_capacity) {
        return;
    }
    m_names.removeIf([now](const auto& entry) { return entry.value().expires <= now; });
    if (m_names.size() >= m_capacity) {
        m_names.clear();
    }
}
