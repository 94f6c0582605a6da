// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "filterd/EventLoop.h"
#include "filterd/control/PeerPolicy.h"
#include "filterd/control/ClientQuota.h"
#include "filterd/control/LogThrottle.h"
#include "filterd/control/PolkitAuthority.h"
#include "wire/UniqueFd.h"

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>

namespace Filterd {

// Decides for every new connection whether the service serves it. First a place under the client
// limits; then root, the service's own user and the members of its group are let in at once; any
// other client is let in when polkit authorises its process, asked without waiting. A refused
// client is closed with a log line (the protocol has no message for it). A client whose process is
// gone before it could be asked, or that hangs up while polkit thinks, is dropped without one.
class ClientAdmission final {
public:
    struct Limits {
        std::size_t total = 64;
        std::size_t perUser = 8;
    };
    // A client let in, with how ("member of the group", "authorised by polkit").
    using Admitted = std::function<void(Quilvane::Wire::UniqueFd socket, const PeerPolicy::Peer& peer,
                                        const std::string& how)>;

    // `authority` may be empty: then the group rule stands alone.
    ClientAdmission(EventLoop& loop, PeerPolicy policy, Limits limits,
                    std::unique_ptr<PolkitAuthority> authority, Admitted admitted);
    ~ClientAdmission();
    ClientAdmission(const ClientAdmission&) = delete;
    ClientAdmission& operator=(const ClientAdmission&) = delete;

    void consider(Quilvane::Wire::UniqueFd socket);
    // A client let in earlier has gone: its place is free again.
    void released(uid_t uid);

    std::size_t pendingCount() const { return m_pending.size(); }

private:
    struct Pending {
        Quilvane::Wire::UniqueFd socket;
        PeerPolicy::Peer peer;
        PeerProcess process;
        std::uint64_t ticket = 0;
    };

    bool takePlace(const PeerPolicy::Peer& peer);
    void askPolkit(Quilvane::Wire::UniqueFd socket, const PeerPolicy::Peer& peer);
    void answered(int fd, PolkitAuthority::Answer answer, const std::string& detail);
    void hungUp(int fd);
    void refuse(const PeerPolicy::Peer& peer, const std::string& why);
    bool askedTooSoon(uid_t uid);

    EventLoop& m_loop;
    PeerPolicy m_policy;
    ClientQuota m_quota;
    std::unique_ptr<PolkitAuthority> m_authority;
    Admitted m_admitted;
    std::map<int, Pending> m_pending;
    LogThrottle m_refusals;
    // A limit is told once each time it is reached, not once per client it turns away.
    std::set<uid_t> m_usersAtLimit;
    // Users polkit refused, and when it was last asked about each: it is asked again at most once
    // a second, so a refused user cannot keep polkit and the service busy.
    std::map<uid_t, std::chrono::steady_clock::time_point> m_refusedByPolkit;
    bool m_atTotalLimit = false;
};

} // namespace Filterd
