#include "kernel/ProcessAppCache.h"

#include <QMutexLocker>
#include <climits>
#include <cstdio>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

using Quilvane::Wire::UniqueFd;

ProcessAppCache::ProcessAppCache(Factory factory, Clock::duration lifetime, qsizetype capacity)
    : m_factory(std::move(factory))
    , m_lifetime(lifetime)
    , m_capacity(capacity) {}

AppPtr ProcessAppCache::appForPid(qint32 pid) {
    if (pid <= 0) {
        return m_factory(pid);
    }
    const QString executable = executablePath(pid);
    const auto now = Clock::now();
    {
        QMutexLocker lock(&m_mutex);
        if (const auto found = m_entries.constFind(pid); found != m_entries.cend()) {
            const auto& entry = *found;
            if (entry->expires > now && entry->executable == executable && isRunning(entry->process)) {
                return entry->app;
            }
            m_entries.erase(found);
        }
    }

    // The pidfd is taken before the App is built: if the process is still running afterwards, the
    // number cannot have been handed to another process in between.
    UniqueFd process(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    AppPtr app = m_factory(pid);
    if (!app || !process.isValid() || !isRunning(process)) {
        return app;
    }
    auto entry = std::make_shared<Entry>(Entry{std::move(process), executable, app, now + m_lifetime});
    QMutexLocker lock(&m_mutex);
    if (m_entries.size() >= m_capacity) {
        m_entries.clear();
    }
    m_entries.insert(pid, std::move(entry));
    return app;
}

void ProcessAppCache::clear() {
    QMutexLocker lock(&m_mutex);
    m_entries.clear();
}

QString ProcessAppCache::executablePath(qint32 pid) {
    char link[64];
    std::snprintf(link, sizeof link, "/proc/%d/exe", pid);
    char target[PATH_MAX];
    const ssize_t length = ::readlink(link, target, sizeof target);
    return length > 0 ? QString::fromUtf8(target, length) : QString();
}

bool ProcessAppCache::isRunning(const UniqueFd& process) {
    // A pidfd becomes readable when its process exits.
    pollfd exited{process.get(), POLLIN, 0};
    return ::poll(&exited, 1, 0) == 0;
}
