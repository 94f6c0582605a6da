// SPDX-License-Identifier: GPL-3.0-or-later
#include "kernel/HostNameCache.h"

#include <QMutexLocker>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>

HostNameCache::HostNameCache()
    : HostNameCache(Limits{}) {}

HostNameCache::HostNameCache(const Limits& limits)
    : m_limits(limits) {}

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

std::optional<Quilvane::Wire::NativeAddress> HostNameCache::addressFor(const QByteArray& key) {
    Quilvane::Wire::NativeAddress address;
    if (key.size() == 1 + 4 && key.front() == '4') {
        auto* in = reinterpret_cast<sockaddr_in*>(&address.storage);
        in->sin_family = AF_INET;
        std::memcpy(&in->sin_addr, key.constData() + 1, sizeof in->sin_addr);
        address.length = sizeof(sockaddr_in);
        return address;
    }
    if (key.size() == 1 + 16 + 4 && key.front() == '6') {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&address.storage);
        in6->sin6_family = AF_INET6;
        std::memcpy(&in6->sin6_addr, key.constData() + 1, sizeof in6->sin6_addr);
        std::memcpy(&in6->sin6_scope_id, key.constData() + 17, sizeof in6->sin6_scope_id);
        address.length = sizeof(sockaddr_in6);
        return address;
    }
    return std::nullopt;
}

QString HostNameCache::numericHost(const QByteArray& key) {
    const auto address = addressFor(key);
    char host[NI_MAXHOST] = {};
    if (!address || ::getnameinfo(reinterpret_cast<const sockaddr*>(&address->storage), address->length, host,
                                  sizeof host, nullptr, 0, NI_NUMERICHOST) != 0) {
        return {};
    }
    return QString::fromLatin1(host);
}

HostNameCache::Wait HostNameCache::findOrWait(const QByteArray& key, Pending pending) {
    const auto now = Clock::now();
    QMutexLocker lock(&m_mutex);
    if (const auto found = m_names.constFind(key); found != m_names.cend() && found->expires > now) {
        return {found->name, false, {}};
    }
    Wait wait;
    auto waiting = m_waiting.find(key);
    if (waiting == m_waiting.end()) {
        if (std::ssize(m_queue) >= m_limits.queuedLookups) {
            dropOldestQueued(wait.dropped);
        }
        waiting = m_waiting.insert(key, {});
        m_queue.push_back(key);
        if (m_workers < m_limits.workers) {
            ++m_workers;
            wait.startWorker = true;
        }
    }
    waiting->push_back({std::move(pending), m_nextSerial++});
    ++m_waiterCount;
    while (m_waiterCount > m_limits.waitingRecords) {
        dropOldestWaiter(wait.dropped);
    }
    return wait;
}

std::optional<QByteArray> HostNameCache::nextLookup() {
    QMutexLocker lock(&m_mutex);
    if (m_queue.empty()) {
        --m_workers;
        return std::nullopt;
    }
    QByteArray key = std::move(m_queue.front());
    m_queue.pop_front();
    return key;
}

std::vector<HostNameCache::Pending> HostNameCache::complete(const QByteArray& key, const Name& name) {
    const auto now = Clock::now();
    QMutexLocker lock(&m_mutex);
    makeRoom(now);
    m_names.insert(key, Entry{name, now + m_limits.lifetime});
    std::vector<Pending> ready;
    for (Waiter& waiter : m_waiting.take(key)) {
        ready.push_back(std::move(waiter.pending));
    }
    m_waiterCount -= std::ssize(ready);
    return ready;
}

void HostNameCache::clear() {
    QMutexLocker lock(&m_mutex);
    m_names.clear();
}

void HostNameCache::makeRoom(Clock::time_point now) {
    if (m_names.size() < m_limits.names) {
        return;
    }
    m_names.removeIf([now](const auto& entry) { return entry.value().expires <= now; });
    if (m_names.size() >= m_limits.names) {
        m_names.clear();
    }
}

// The oldest address no worker has taken yet goes, with every record that waited for it.
void HostNameCache::dropOldestQueued(std::vector<Dropped>& dropped) {
    const QByteArray key = std::move(m_queue.front());
    m_queue.pop_front();
    for (Waiter& waiter : m_waiting.take(key)) {
        dropped.push_back({key, std::move(waiter.pending)});
        --m_waiterCount;
    }
}

// Records wait in arrival order under each address, so the oldest of all is at the front of one of
// them. The addresses are few (bounded by the workers and the queue), and this runs only at the bound.
void HostNameCache::dropOldestWaiter(std::vector<Dropped>& dropped) {
    auto oldest = m_waiting.end();
    for (auto it = m_waiting.begin(); it != m_waiting.end(); ++it) {
        if (!it->empty() && (oldest == m_waiting.end() || it->front().serial < oldest->front().serial)) {
            oldest = it;
        }
    }
    if (oldest == m_waiting.end()) {
        m_waiterCount = 0;
        return;
    }
    dropped.push_back({oldest.key(), std::move(oldest->front().pending)});
    oldest->pop_front();
    --m_waiterCount;
}
