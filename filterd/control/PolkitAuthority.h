// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "filterd/EventLoop.h"
#include "filterd/control/PeerProcess.h"
#include "wire/UniqueFd.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <systemd/sd-bus.h>

namespace Filterd {

// The polkit action that lets a user who is neither root nor in the service's group use it.
inline constexpr const char* kManageAction = "com.quilvaneapp.filter.manage";

// Asks polkit over the system bus whether a process may perform one action, the way other system
// services authorise the person at the machine, and never waits for the bus: the question goes out
// at once and the answer comes back through the event loop. No interaction is allowed (a client has
// no way to show a password prompt), so a "challenge" counts as no, and so does every answer that
// does not come within the time limit.
class PolkitAuthority final {
public:
    enum class Answer { authorized, refused, unanswered };
    using Callback = std::function<void(Answer answer, const std::string& detail)>;

    // Opens the system bus ($DBUS_SYSTEM_BUS_ADDRESS, else the standard socket). Without one it
    // says so once in the log and tries again whenever a client needs it, since the service may
    // start before the bus does.
    static std::unique_ptr<PolkitAuthority> create(EventLoop& loop, std::string action,
                                                   std::chrono::milliseconds timeout);
    ~PolkitAuthority();
    PolkitAuthority(const PolkitAuthority&) = delete;
    PolkitAuthority& operator=(const PolkitAuthority&) = delete;

    // Sends the question; `callback` runs later from the loop, exactly once unless cancelled.
    // Returns 0, and never calls back, when it cannot be asked because there is no bus.
    std::uint64_t ask(const PeerProcess& process, Callback callback);
    void cancel(std::uint64_t ticket);

    bool connected() const { return m_bus != nullptr; }
    std::size_t pendingCount() const { return m_calls.size(); }

private:
    struct BusDeleter {
        void operator()(sd_bus* bus) const;
    };
    struct SlotDeleter {
        void operator()(sd_bus_slot* slot) const;
    };
    struct Call {
        PolkitAuthority* authority = nullptr;
        std::uint64_t ticket = 0;
        std::unique_ptr<sd_bus_slot, SlotDeleter> slot;
        Callback callback;
    };

    PolkitAuthority(EventLoop& loop, std::string action, std::chrono::milliseconds timeout);

    bool open(std::string& error);
    static int onReply(sd_bus_message* reply, void* userdata, sd_bus_error* error);
    void answer(Call& call, sd_bus_message* reply);
    void process();
    void watch();
    void disconnected(const std::string& why);

    EventLoop& m_loop;
    std::string m_action;
    std::chrono::milliseconds m_timeout;
    std::unique_ptr<sd_bus, BusDeleter> m_bus;
    int m_busFd = -1;
    Quilvane::Wire::UniqueFd m_timer; // the bus's next time-out, when it has one
    std::map<std::uint64_t, std::unique_ptr<Call>> m_calls;
    std::uint64_t m_nextTicket = 1;
    bool m_toldPolkitMissing = false;
};

} // namespace Filterd
