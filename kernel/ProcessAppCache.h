// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "wire/RecordExtension.h"
#include "wire/UniqueFd.h"
#include "model/App.h"

#include <QHash>
#include <QMutex>
#include <QString>
#include <chrono>
#include <functional>
#include <optional>

// Remembers for a short while which App a process identifier stands for, because building one reads
// several files under /proc and a busy process reports many connections. An entry holds a pidfd of
// the process it was made for and what it ran: once that process has exited (so the number may be
// reused) or has executed another program, the entry no longer answers. A record that carries the
// service's identity of the process says by itself whether the program changed; only a plain record
// makes the cache read /proc/PID/exe to find out. Thread-safe.
class ProcessAppCache final {
public:
    using Clock = std::chrono::steady_clock;
    using Identity = Quilvane::Wire::RecordIdentity;
    // Builds the App of a process; `identity` is the service's account of it, when the record had one.
    using Factory = std::function<AppPtr(qint32 pid, const Identity* identity)>;

    // The product's factory: App::initWithPid, told the service's names when there are some.
    static AppPtr makeApp(qint32 pid, const Identity* identity);

    explicit ProcessAppCache(Factory factory = &ProcessAppCache::makeApp,
                             Clock::duration lifetime = std::chrono::seconds(2), qsizetype capacity = 256);

    // The App of `pid`, from the cache when the same process still runs the same program; empty
    // when none can be built. A result that cannot be pinned to its process is not remembered.
    AppPtr appForPid(qint32 pid, const std::optional<Identity>& identity = std::nullopt);

    void clear();

private:
    struct Entry {
        Quilvane::Wire::UniqueFd process;
        std::optional<Identity> identity; // from the record, when it had one
        QString executable;               // from /proc, for plain records
        AppPtr app;
        Clock::time_point expires;
        Clock::time_point seenRunning; // when the pidfd last said the process runs
    };

    static QString executablePath(qint32 pid);
    static bool isRunning(const Quilvane::Wire::UniqueFd& process);
    AppPtr cached(qint32 pid, const std::optional<Identity>& identity, const QString& executable,
                  Clock::time_point now);

    const Factory m_factory;
    const Clock::duration m_lifetime;
    const qsizetype m_capacity;
    QMutex m_mutex;
    QHash<qint32, std::shared_ptr<Entry>> m_entries;
};
