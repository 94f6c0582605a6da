// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "filterd/EventLoop.h"
#include "wire/UniqueFd.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace Filterd {

// Keeps the administrator's list files (the *.list files of one folder, /etc/quilvane/lists.d by
// default) in force: reads them at start-up, and again shortly after inotify reports a change in
// the folder. A file that is unreadable, invalid, a symbolic link, or writable by anyone but root
// keeps the names in force as they were, and each problem is logged as "file:line: reason". A
// folder that does not exist yet is looked for every two seconds.
class AdministratorLists final {
public:
    using Changed = std::function<void(const std::vector<std::string>& names)>;

    // Reads the folder once; `changed` is called for that first reading only when the folder
    // exists and is valid, then for every later valid reading whose names differ.
    static std::unique_ptr<AdministratorLists> create(EventLoop& loop, std::string directory,
                                                      Changed changed);
    ~AdministratorLists();
    AdministratorLists(const AdministratorLists&) = delete;
    AdministratorLists& operator=(const AdministratorLists&) = delete;

private:
    AdministratorLists(EventLoop& loop, std::string directory, Changed changed);

    void watch();
    void onFolderEvent();
    void onIdle();
    void reload();

    EventLoop& m_loop;
    std::string m_directory;
    Changed m_changed;
    Quilvane::Wire::UniqueFd m_inotify;
    int m_watch = -1;
    std::optional<std::vector<std::string>> m_names; // what was last applied
    std::optional<std::chrono::steady_clock::time_point> m_reloadAt;
    std::chrono::steady_clock::time_point m_nextWatchTry{};
};

} // namespace Filterd
