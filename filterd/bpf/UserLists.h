#pragma once

#include "filterd/FilterBackend.h"

#include <condition_variable>
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
// and swaps each list while the event loop goes on delivering records. A newer list of an owner
// replaces one of the same owner still waiting. The number of owners with a list is bounded by the
// outer map's size; a list for one owner more is refused with a sentence that says so.
class UserLists final {
public:
    // `outerMapFd` stays owned by the caller and must outlive this object. Owners already in the
    // map (pinned by an earlier run) count towards the bound.
    UserLists(int outerMapFd, std::size_t maxOwners);
    ~UserLists(); // applies what is queued, then stops the worker
    UserLists(const UserLists&) = delete;
    UserLists& operator=(const UserLists&) = delete;

    // Queues the names of `payload` (each ending in a NUL; `count` of them not empty) as the whole
    // list of `owner`; an empty list removes the owner's list. The names are hashed on the worker.
    bool replace(ListOwner owner, std::span<const std::uint8_t> payload, std::size_t count,
                 std::string& error);

    // Owners whose list is in force or queued.
    std::size_t ownerCount() const;

private:
    void work();
    void apply(ListOwner owner, const std::vector<std::uint8_t>& payload);
    bool swapIn(ListOwner owner, const std::vector<std::uint64_t>& hashes, std::string& error);

    int m_outer;
    std::size_t m_maxOwners;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::map<ListOwner, std::vector<std::uint8_t>> m_pending; // payloads not applied yet
    std::set<ListOwner> m_owners;
    bool m_stopping = false;
    std::thread m_worker;
};

} // namespace Filterd
