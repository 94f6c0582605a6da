// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "filterd/names/DnsAnswer.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <sys/types.h>
#include <unordered_map>

namespace Filterd {

// Which name each process looked up for each address it got, learnt from the DNS answers that
// reached its sockets, so a connection's record can name the host the program asked for rather
// than whatever the address's owner registered for it. Two programs that got the same address
// for different names each keep their own.
//
// Each user has a bounded share, the oldest entries going first, so one user's flood of answers
// costs a bounded amount of memory and never takes another user's names.
class ResolvedNames final {
public:
    static constexpr std::size_t kDefaultEntriesPerUser = 4096;

    explicit ResolvedNames(std::size_t entriesPerUser = kDefaultEntriesPerUser);

    void learn(uid_t uid, pid_t tgid, const DnsAnswer& answer);
    // The name, or empty when the process never looked one up for this address. An IPv4 address
    // in IPv6 form (::ffff:a.b.c.d) is the IPv4 one.
    std::string nameFor(uid_t uid, pid_t tgid, const DnsAnswer::Address& address) const;

    std::size_t size() const;

private:
    struct Key {
        pid_t tgid = 0;
        DnsAnswer::Address address;

        bool operator==(const Key&) const = default;
    };
    struct KeyHash {
        std::size_t operator()(const Key& key) const noexcept;
    };
    struct UserNames {
        std::unordered_map<Key, std::string, KeyHash> names;
        std::deque<Key> oldestFirst;
    };

    static DnsAnswer::Address unmapped(const DnsAnswer::Address& address);

    std::size_t m_entriesPerUser;
    std::map<uid_t, UserNames> m_users;
};

} // namespace Filterd
