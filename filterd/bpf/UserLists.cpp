// SPDX-License-Identifier: GPL-3.0-or-later
#include "filterd/bpf/UserLists.h"

#include "filterd/Log.h"
#include "filterd/bpf/NameHash.h"
#include "wire/UniqueFd.h"

#include <algorithm>
#include <bpf/bpf.h>
#include <cerrno>
#include <cstring>
#include <linux/types.h>
#include <optional>
#include <pwd.h>
#include <string_view>
#include <sys/resource.h>
#include <unistd.h>

namespace Filterd {

UserLists::UserLists(int outerMapFd, std::size_t maxOwners, std::function<void()> changed)
    : m_outer(outerMapFd)
    , m_changed(std::move(changed))
    , m_maxOwners(maxOwners) {
    __u32 key = 0;
    __u32 next = 0;
    for (const __u32* previous = nullptr; bpf_map_get_next_key(m_outer, previous, &next) == 0;
         previous = &key) {
        m_owners.insert(next);
        key = next;
    }
    m_worker = std::thread([this] { work(); });
}

UserLists::~UserLists() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_one();
    m_worker.join();
}

bool UserLists::replace(ListOwner owner, std::span<const std::uint8_t> payload, std::size_t count,
                        std::string& error, std::uint64_t ticket) {
    std::optional<FilterBackend::ListOutcome> superseded;
    std::vector<std::uint8_t> bytes(payload.begin(), payload.end());
    {
        std::lock_guard lock(m_mutex);
        // One place is kept for the list for every process, whoever else has one.
        const std::size_t usersAllowed = m_maxOwners - 1;
        const std::size_t users = m_owners.size() - (m_owners.contains(kEveryone) ? 1 : 0);
        if (count > 0 && owner != kEveryone && !m_owners.contains(owner) && users >= usersAllowed) {
            error = "the lists of " + std::to_string(usersAllowed) +
                    " users are in force, the most the service keeps; " + describeOwner(owner) +
                    " is refused";
            return false;
        }
        if (count == 0) {
            m_owners.erase(owner);
        } else {
            m_owners.insert(owner);
        }
        if (!m_pending.contains(owner) && owner != kEveryone) {
            m_arrivals.push_back(owner);
        }
        if (const auto waiting = m_pending.find(owner);
            waiting != m_pending.end() && waiting->second.ticket != 0) {
            superseded = FilterBackend::ListOutcome{owner, waiting->second.ticket, 0, "superseded",
                                                    "a newer list replaced it before it took force"};
        }
        m_pending[owner] = Job{std::move(bytes), ticket};
    }
    if (superseded && m_applied) {
        m_applied(*superseded);
    }
    m_wake.notify_one();
    return true;
}

void UserLists::waitUntilApplied() {
    std::unique_lock lock(m_mutex);
    m_idle.wait(lock, [this] { return m_pending.empty() && !m_applying; });
}

std::size_t UserLists::ownerCount() const {
    std::lock_guard lock(m_mutex);
    return m_owners.size();
}

void UserLists::work() {
    // Building a list may take the kernel tens of milliseconds of CPU; on a busy machine the event
    // loop, which delivers records, goes first.
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 19);
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_stopping || !m_pending.empty(); });
        if (m_pending.empty()) {
            return; // stopping, and nothing is left to apply
        }
        auto job = m_pending.extract(nextOwnerLocked());
        m_applying = true;
        lock.unlock();
        apply(job.key(), job.mapped());
        lock.lock();
        m_applying = false;
        m_idle.notify_all();
    }
}

// The list for every process first; then lists that empty an owner's place, which free room in the
// kernel's map that replace() has already counted as free; then the owners in order of arrival.
ListOwner UserLists::nextOwnerLocked() {
    if (m_pending.contains(kEveryone)) {
        return kEveryone;
    }
    const auto emptying = std::find_if(m_arrivals.begin(), m_arrivals.end(),
                                       [this](ListOwner owner) { return m_pending.at(owner).payload.empty(); });
    const auto next = emptying != m_arrivals.end() ? emptying : m_arrivals.begin();
    const ListOwner owner = *next;
    m_arrivals.erase(next);
    return owner;
}

std::size_t UserLists::removeListsOfDeletedUsers() {
    std::vector<ListOwner> gone;
    {
        std::lock_guard lock(m_mutex);
        for (const ListOwner owner : m_owners) {
            // Only "no such user" counts; a directory service that cannot answer now is no answer.
            errno = 0;
            if (owner != kEveryone && ::getpwuid(owner) == nullptr && errno == 0) {
                gone.push_back(owner);
            }
        }
    }
    for (const ListOwner owner : gone) {
        std::string error;
        replace(owner, {}, 0, error);
        Log::line("uid " + std::to_string(owner) + " no longer exists; its list is removed");
    }
    return gone.size();
}

void UserLists::apply(ListOwner owner, const Job& job) {
    const std::vector<std::uint8_t>& payload = job.payload;
    std::vector<std::uint64_t> hashes;
    const auto* text = reinterpret_cast<const char*>(payload.data());
    for (std::size_t start = 0; start < payload.size();) {
        const std::string_view name(text + start);
        start += name.size() + 1;
        // A name with a slash is no file name: it can match no program (and must not match the
        // file name after its slash).
        if (!name.empty() && name.find('/') == std::string_view::npos) {
            hashes.push_back(nameHash(name));
        }
    }
    std::sort(hashes.begin(), hashes.end());
    hashes.erase(std::unique(hashes.begin(), hashes.end()), hashes.end());
    std::string error;
    if (swapIn(owner, hashes, error)) {
        if (m_changed) {
            m_changed();
        }
        Log::line(inForceLine(owner, hashes.size()));
        if (m_applied) {
            m_applied({owner, job.ticket, hashes.size(), {}, {}});
        }
    } else {
        Log::line("could not apply " + describeOwner(owner) + ": " + error + "; the previous list stays");
        if (m_applied) {
            m_applied({owner, job.ticket, 0, "kernel", error});
        }
    }
}

bool UserLists::swapIn(ListOwner owner, const std::vector<std::uint64_t>& hashes, std::string& error) {
    const __u32 key = owner;
    if (hashes.empty()) {
        if (bpf_map_delete_elem(m_outer, &key) != 0 && errno != ENOENT) {
            error = std::string("cannot clear it: ") + std::strerror(errno);
            return false;
        }
        return true;
    }
    LIBBPF_OPTS(bpf_map_create_opts, options, .map_flags = BPF_F_NO_PREALLOC);
    Quilvane::Wire::UniqueFd inner(bpf_map_create(BPF_MAP_TYPE_HASH, "qv_user_names", sizeof(__u64),
                                                  sizeof(__u8), static_cast<__u32>(hashes.size()), &options));
    if (!inner) {
        error = std::string("cannot create a map for it: ") + std::strerror(errno);
        return false;
    }
    const std::vector<__u8> present(hashes.size(), 1);
    __u32 count = static_cast<__u32>(hashes.size());
    LIBBPF_OPTS(bpf_map_batch_opts, batch, .elem_flags = BPF_ANY);
    if (bpf_map_update_batch(inner.get(), hashes.data(), present.data(), &count, &batch) != 0) {
        error = std::string("cannot fill it: ") + std::strerror(errno);
        return false;
    }
    const __u32 innerFd = static_cast<__u32>(inner.get());
    if (bpf_map_update_elem(m_outer, &key, &innerFd, BPF_ANY) != 0) {
        error = std::string("cannot swap it in: ") + std::strerror(errno);
        return false;
    }
    return true;
}

} // namespace Filterd
