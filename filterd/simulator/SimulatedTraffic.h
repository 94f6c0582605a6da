// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "filterd/ConnectionEvent.h"
#include "filterd/EventLoop.h"
#include "filterd/FilterBackend.h"
#include "wire/UniqueFd.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace Filterd {

// The backend of --simulate, which needs no privileges: it starts a few helper processes, copies
// of this binary under names of their own, that connect to its loopback listeners and send it
// datagrams, and reports those connections as the kernel programs would (UDP once per peer every
// few seconds). It can add synthetic records for the helpers at a chosen rate. A blocked name is
// honoured the way the real filter does it: its helper is stopped (SIGSTOP) so its traffic ends,
// and nothing of that name is reported until the list lets it go again.
class SimulatedTraffic final : public FilterBackend {
public:
    struct Options {
        std::vector<std::string> helperNames = {"quilvane-sim-browser", "quilvane-sim-mail",
                                                "quilvane-sim-updater", "quilvane-sim-chat"};
        std::chrono::milliseconds helperInterval{1000};
        double syntheticRate = 0; // records per second
    };

    static std::unique_ptr<SimulatedTraffic> create(EventLoop& loop, const Options& options, EventSink sink,
                                                    std::string& error);
    ~SimulatedTraffic() override;
    SimulatedTraffic(const SimulatedTraffic&) = delete;
    SimulatedTraffic& operator=(const SimulatedTraffic&) = delete;

    bool replaceBlockList(ListOwner owner, const BlockListCommand& command, std::string& error) override;
    void poll() override;
    std::string statistics() const override;

    // The helpers' pids by name (for tests and log lines).
    std::map<std::string, pid_t> helpers() const;

private:
    struct Helper {
        std::string name;
        pid_t pid = -1;
        bool stopped = false;
    };

    SimulatedTraffic(EventLoop& loop, Options options, EventSink sink);

    bool prepareImages(std::string& error);
    bool startJanitor(std::string& error);
    bool openListeners(std::string& error);
    bool startHelpers(std::string& error);
    bool startTimer(std::string& error);
    void acceptConnections(int listener);
    void readIntroduction(int fd, const sockaddr_storage& peer);
    void readDatagrams();
    void emitSynthetic();
    const Helper* helperWithPid(pid_t pid) const;
    void report(ConnectionEvent& event);

    EventLoop& m_loop;
    Options m_options;
    EventSink m_sink;
    std::string m_imageDirectory;
    Quilvane::Wire::UniqueFd m_janitorPipe; // closed by our exit, however it comes
    pid_t m_janitor = -1;
    std::vector<Helper> m_helpers;
    std::map<ListOwner, std::set<std::string>> m_lists;
    std::set<std::string> m_blocked; // what applies to the simulated processes, all of this user
    Quilvane::Wire::UniqueFd m_tcp4;
    Quilvane::Wire::UniqueFd m_tcp6;
    Quilvane::Wire::UniqueFd m_udp;
    Quilvane::Wire::UniqueFd m_timer;
    std::map<int, Quilvane::Wire::UniqueFd> m_pending; // accepted connections waiting for their introduction
    std::map<std::pair<pid_t, std::uint16_t>, std::chrono::steady_clock::time_point> m_udpFlows;
    double m_syntheticCredit = 0;
    std::chrono::steady_clock::time_point m_lastTick;
    std::uint64_t m_syntheticCount = 0;
    std::uint64_t m_reported = 0;
    std::uint64_t m_suppressed = 0;
};

} // namespace Filterd
