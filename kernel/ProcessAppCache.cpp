// SPDX-License-Identifier: GPL-3.0-or-later
#include "kernel/ProcessAppCache.h"

#include <QMutexLocker>
#include <climits>
#include <cstdio>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

using Quilvane::Wire::UniqueFd;

namespace {

// A busy process reports records in bursts; within this span of the last check its pidfd is not
// asked again. A record with the service's account still has to match the entry, so a number
// reused in that span by another program is never mistaken for the old one.
constexpr auto kRunningCheckSpan = std::chrono::milliseconds(10);

} // namespace

AppPtr ProcessAppCache::makeApp(qint32 pid, const Identity* identity) {
    if (identity == nullptr) {
        return App::initWithPid(pid);
    }
    return App::initWithPid(
        pid, ReportedProgram{QString::fromUtf8(identity->executable), QString::fromUtf8(identity->script)});
}

ProcessAppCache::ProcessAppCache(Factory factory, Clock::duration lifetime, qsizetype capacity)
    : m_factory(std::move(factory))
    , m_lifetime(lifetime)
    , m_capacity(capacity) {}

AppPtr ProcessAppCache::appForPid(qint32 pid, const std::optional<Identity>& identity) {
    const Identity* told = identity ? &*identity : nullptr;
    if (pid <= 0) {
        return m_factory(pid, told);
    }
    const QString executable = identity ? QString() : executablePath(pid);
    const auto now = Clock::now();
    if (AppPtr app = cached(pid, identity, executable, now)) {
        return app;
    }

    // The pidfd is taken before the App is built: if the process is still running afterwards, the
    // number cannot have been handed to another process in between.
    UniqueFd process(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    AppPtr app = m_factory(pid, told);
    if (!app || !process.isValid() || !isRunning(process)) {
        return app;
    }
    auto entry =
        std::make_shared<Entry>(Entry{std::move(process), identity, executable, app, now + m_lifetime, now});
    QMutexLocker lock(&m_mutex);
    if (m_entries.size() >= m_capacity) {
        m_entries.clear();
    }
    m_entries.insert(pid, std::move(entry));
    return app;
}

AppPtr ProcessAppCache::cached(qint32 pid, const std::optional<Identity>& identity, const QString& executable,
                               Clock::time_point now) {
    QMutexLocker lock(&m_mutex);
    const auto found = m_entries.constFind(pid);
    if (found == m_entries.cend()) {
        return nullptr;
    }
    Entry& entry = **found;
    const bool sameProgram =
        identity ? entry.identity == identity : !entry.identity && entry.executable == executable;
    const bool recentlySeen = identity && now - entry.seenRunning < kRunningCheckSpan;
    if (entry.expires > now && sameProgram && (recentlySeen || isRunning(entry.process))) {
        entry.seenRunning = recentlySeen ? entry.seenRunning : now;
        return entry.app;
    }
    m_entries.erase(found);
    return nullptr;
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
