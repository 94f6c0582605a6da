// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "filterd/ConnectionEvent.h"
#include "filterd/EventLoop.h"
#include "filterd/FilterBackend.h"
#include "filterd/ServiceOptions.h"
#include "filterd/config/AdministratorLists.h"
#include "filterd/config/MachineList.h"
#include "filterd/control/ControlServer.h"
#include "filterd/journal/JournalWriter.h"
#include "wire/UniqueFd.h"

#include <chrono>
#include <memory>
#include <optional>
#include <string>

namespace Filterd {

// The service as a whole: the event loop, the backend (eBPF or simulated), the control socket
// between them, and the signals that end it. Each command replaces the list of its sender's user;
// root's, the service user's and the administrators' (group quilvane-admin) is the one list for
// every process. Records of a process, connections and refused attempts (command 2) alike, go to
// the clients of its owner and to the administrators'; refused attempts are also counted and
// logged at a bounded rate.
class FilterService final {
public:
    static std::unique_ptr<FilterService> create(const ServiceOptions& options, std::string& error);
    ~FilterService();
    FilterService(const FilterService&) = delete;
    FilterService& operator=(const FilterService&) = delete;

    // Runs until SIGTERM or SIGINT; returns the exit status.
    int run();

private:
    explicit FilterService(ServiceOptions options);

    bool start(std::string& error);
    std::optional<gid_t> resolveGroup(const std::string& name, bool required);
    void onEvent(const ConnectionEvent& event);
    void logBlocked(const ConnectionEvent& event);
    void onIdle();
    void onSignal();
    void watchUsers();
    void onUsersFolderChanged();
    void startListFilesAndJournal();
    bool replaceMachineList(std::vector<std::string> clientNames, std::string& why, std::uint64_t ticket = 0);

    ServiceOptions m_options;
    std::unique_ptr<EventLoop> m_loop;
    Quilvane::Wire::UniqueFd m_signals;
    Quilvane::Wire::UniqueFd m_userWatch;
    std::unique_ptr<FilterBackend> m_backend;
    std::unique_ptr<ControlServer> m_server;
    std::unique_ptr<JournalWriter> m_journal;
    MachineList m_machineList;
    std::unique_ptr<AdministratorLists> m_listFiles;
    std::uint64_t m_blockedAttempts = 0;
    std::uint64_t m_blockedLogged = 0;
    std::chrono::steady_clock::time_point m_blockedWindow{};
    std::chrono::steady_clock::time_point m_lastStatistics{};
    std::string m_lastStatisticsLine;
};

} // namespace Filterd
