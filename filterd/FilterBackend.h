// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "filterd/control/BlockListCommand.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace Filterd {

// Whose list a command replaces: a user id, whose processes it applies to, or kEveryone, the one
// list of root and the administrators, which applies to every process.
using ListOwner = std::uint32_t;
inline constexpr ListOwner kEveryone = 0xffffffffu; // QV_EVERYONE_UID: (uid_t)-1 is no one's uid

inline std::string describeOwner(ListOwner owner) {
    return owner == kEveryone ? std::string("the list for every process")
                              : "the list of uid " + std::to_string(owner);
}

// The log line a backend writes once a list is enforced; the tests wait for it.
inline std::string inForceLine(ListOwner owner, std::size_t names) {
    return describeOwner(owner) + " is in force (" + std::to_string(names) + " names)";
}

// What the service asks of whatever enforces the list and sees the connections: the kernel
// programs, or the simulator that stands in for them without privileges. A backend hands every
// connection it sees to the EventSink it was created with.
class FilterBackend {
public:
    // What became of a list the backend accepted: in force with `names` names, or not (`error`
    // says why, `code` in a word). `ticket` is the command's (BlockListCommand::ticket()).
    struct ListOutcome {
        ListOwner owner = 0;
        std::uint64_t ticket = 0;
        std::size_t names = 0;
        std::string code; // empty when in force
        std::string error;
    };
    // Called when a list took force or failed, on whatever thread applied it.
    using ListApplied = std::function<void(const ListOutcome&)>;

    virtual ~FilterBackend() = default;

    // Set before the first list is given.
    void setListApplied(ListApplied handler) { m_listApplied = std::move(handler); }

    // Replaces the whole list of `owner` in one step, now or soon (the backend logs inForceLine()
    // then). On failure the previous list stays in force and `error` says why.
    virtual bool replaceBlockList(ListOwner owner, const BlockListCommand& command, std::string& error) = 0;

    // The system's users may have changed (/etc/passwd was replaced): a list of a user that no
    // longer exists must go, before its uid is given to someone else.
    virtual void usersChanged() {}

    // Returns once the lists given so far are in force (or refused); a backend that applies them
    // at once has nothing to wait for.
    virtual void waitUntilApplied() {}

    // Delivers what is pending; the service calls it after every wake-up of its loop.
    virtual void poll() = 0;

    // One line of counters for the log ("events 10, dropped 0").
    virtual std::string statistics() const = 0;

protected:
    void listApplied(const ListOutcome& outcome) const {
        if (m_listApplied) {
            m_listApplied(outcome);
        }
    }

private:
    ListApplied m_listApplied;
};

} // namespace Filterd
