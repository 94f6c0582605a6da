// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "filterd/FilterBackend.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace Filterd {

// The per-user block lists in the kernel: one inner map of name hashes per owner, swapped into the
// outer map in one update so that a connect sees the old list or the new one, never a mix.
//
// Filling a map of 65,536 names takes the kernel tens of milliseconds, so a worker thread builds
// and swaps each list while the event loop goes on delivering records. Waiting lists are served
// fairly: the list for every process first, then the owners in the order their lists arrived, one
// list each; a newer list of an owner replaces the one it has waiting, in its place. So a user who
// keeps sending lists holds up nobody else for more than one list. The number of owners with a list
// is bounded by the outer map's size, with a place always kept for the list for every process; a
// list for one owner more is refused with a sentence that says so.
class UserLists final {
public:
    // `outerMapFd` stays owned by the caller and must outlive this object. Owners already in the
    // map (pinned by an earlier run) count towards the bound.
    // `changed` is called (on the worker thread) after each list is swapped in.
    UserLists(int outerMapFd, std::size_t maxOwners, std::function<void()> changed = {});
    ~UserLists(); // applies what is queued, then stops the worker
    UserLists(const UserLists&) = delete;
    UserLists& operator=(const UserLists&) = delete;

    // Queues the names of `payload` (each ending in a NUL; `count` of them not empty) as the whole
    // list of `owner`; an empty list removes the owner's list. The names are hashed on the worker.
    // `ticket` comes back in the outcome handed to the applied handler.
    bool replace(ListOwner owner, std::span<const std::uint8_t> payload, std::size_t count,
                 std::string& error, std::uint64_t ticket = 0);

    // Called on the worker once a list is swapped in or failed, and for a waiting list a newer one
    // replaced. Set before the first replace().
    void setApplied(FilterBackend::ListApplied handler) { m_applied = std::move(handler); }

    // Returns once every list queued so far is applied (or refused): at start-up the service opens
    // its socket only with the administrator's list files in force.
    void waitUntilApplied();

    // Owners whose list is in force or queued.
    std::size_t ownerCount() const;

    // Removes the lists of users the system no longer knows, so that a uid given again to a new
    // user does not inherit the old one's blocks. Returns how many went.
    std::size_t removeListsOfDeletedUsers();

private:
    void work();
    ListOwner nextOwnerLocked();
    struct Job {
        std::vector<std::uint8_t> payload;
        std::uint64_t ticket = 0;
    };
    void apply(ListOwner owner, const Job& job);
    bool swapIn(ListOwner owner, const std::vector<std::uint64_t>& hashes, std::string& error);

    int m_outer;
    std::function<void()> m_changed;
    std::size_t m_maxOwners;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_idle; // notified when the worker has nothing left to apply
    bool m_applying = false;
    std::map<ListOwner, Job> m_pending;                       // lists not applied yet
    std::deque<ListOwner> m_arrivals;                         // owners of m_pending, oldest first
    std::set<ListOwner> m_owners;
    bool m_stopping = false;
    FilterBackend::ListApplied m_applied;
    std::thread m_worker;
};

} // namespace Filterd
