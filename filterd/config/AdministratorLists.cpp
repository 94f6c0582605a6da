// SPDX-License-Identifier: GPL-3.0-or-later
#include "filterd/config/AdministratorLists.h"

#include "filterd/Log.h"
#include "wire/ListFolder.h"

#include <cerrno>
#include <sys/epoll.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace Filterd {
namespace {

// Editors and configuration tools write a file in several steps; one reading after they settle.
constexpr auto kSettle = std::chrono::milliseconds(200);
constexpr auto kWatchRetry = std::chrono::seconds(2);
// A folder of broken files must not fill the log at every change.
constexpr std::size_t kProblemsLogged = 20;

constexpr std::uint32_t kFolderEvents = IN_CREATE | IN_DELETE | IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM |
                                        IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

} // namespace

std::unique_ptr<AdministratorLists> AdministratorLists::create(EventLoop& loop, std::string directory,
                                                               Changed changed) {
    std::unique_ptr<AdministratorLists> lists(
        new AdministratorLists(loop, std::move(directory), std::move(changed)));
    lists->m_inotify.reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!lists->m_inotify || !loop.add(lists->m_inotify.get(), EPOLLIN,
                                       [raw = lists.get()](std::uint32_t) { raw->onFolderEvent(); })) {
        Log::error("cannot watch " + lists->m_directory + "; its list files are read every two seconds",
                   errno);
    }
    lists->watch();
    lists->reload();
    loop.addIdleHandler([raw = lists.get()] { raw->onIdle(); });
    return lists;
}

AdministratorLists::AdministratorLists(EventLoop& loop, std::string directory, Changed changed)
    : m_loop(loop)
    , m_directory(std::move(directory))
    , m_changed(std::move(changed)) {}

AdministratorLists::~AdministratorLists() {
    if (m_inotify) {
        m_loop.remove(m_inotify.get());
    }
}

void AdministratorLists::watch() {
    m_nextWatchTry = std::chrono::steady_clock::now() + kWatchRetry;
    if (m_inotify) {
        m_watch = ::inotify_add_watch(m_inotify.get(), m_directory.c_str(), kFolderEvents);
    }
}

void AdministratorLists::onFolderEvent() {
    alignas(inotify_event) char buffer[4096];
    bool gone = false;
    for (;;) {
        const ssize_t length = ::read(m_inotify.get(), buffer, sizeof buffer);
        if (length <= 0) {
            break;
        }
        for (ssize_t at = 0; at < length;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            gone = gone || (event->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF)) != 0;
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
    if (gone && m_watch >= 0) {
        ::inotify_rm_watch(m_inotify.get(), m_watch);
        m_watch = -1;
    }
    m_reloadAt = std::chrono::steady_clock::now() + kSettle;
}

void AdministratorLists::onIdle() {
    const auto now = std::chrono::steady_clock::now();
    if (m_watch < 0 && now >= m_nextWatchTry) {
        watch();
        // Without inotify at all, reading every two seconds is the watch.
        if (m_watch >= 0 || !m_inotify) {
            reload();
        }
    }
    if (m_reloadAt && now >= *m_reloadAt) {
        m_reloadAt.reset();
        reload();
    }
}

void AdministratorLists::reload() {
    const auto folder = Quilvane::Wire::ListFolder::read(m_directory, ::geteuid());
    if (!folder.valid()) {
        std::size_t logged = 0;
        for (const auto& problem : folder.problems()) {
            if (++logged > kProblemsLogged) {
                Log::line("list files: " + std::to_string(folder.problems().size() - kProblemsLogged) +
                          " more problems");
                break;
            }
            Log::line("list file refused: " + problem.text());
        }
        Log::line("the list files of " + m_directory + " are not applied; the list in force stays");
        return;
    }
    if (!folder.exists() && !m_names) {
        return; // no folder has ever been read: the list in force is left as it is
    }
    if (m_names && *m_names == folder.names()) {
        return;
    }
    m_names = folder.names();
    Log::line("list files of " + m_directory + ": " + std::to_string(folder.names().size()) + " names from " +
              std::to_string(folder.files().size()) + " files");
    m_changed(*m_names);
}

} // namespace Filterd
