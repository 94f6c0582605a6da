#pragma once

#include "kernel/wire/UniqueFd.h"
#include "model/App.h"

#include <QHash>
#include <QMutex>
#include <QString>
#include <chrono>
#include <functional>

// Remembers for a short while which App a process identifier stands for, because building one reads
// several files under /proc and a busy process reports many connections. An entry holds a pidfd of
// the process it was made for and the executable it ran: once that process has exited (so the
// number may be reused) or has executed another program, the entry no longer answers. Thread-safe.
class ProcessAppCache final {
public:
    using Clock = std::chrono::steady_clock;
    using Factory = std::function<AppPtr(qint32 pid)>;

    explicit ProcessAppCache(Factory factory = &App::initWithPid,
                             Clock::duration lifetime = std::chrono::seconds(2), qsizetype capacity = 256);

    // The App of `pid`, from the cache when the same process still runs the same executable; empty
    // when none can be built. A result that cannot be pinned to its process is not remembered.
    AppPtr appForPid(qint32 pid);

    void clear();

private:
    struct Entry {
        Quilvane::Wire::UniqueFd process;
        QString executable;
        AppPtr app;
        Clock::time_point expires;
    };

    static QString executablePath(qint32 pid);
    static bool isRunning(const Quilvane::Wire::UniqueFd& process);

    const Factory m_factory;
    const Clock::duration m_lifetime;
    const qsizetype m_capacity;
    QMutex m_mutex;
    QHash<qint32, std::shared_ptr<Entry>> m_entries;
};
