// SPDX-License-Identifier: GPL-3.0-or-later
#include "filterd/control/ClientAdmission.h"

#include "filterd/control/ClientConnection.h"
#include "filterd/Log.h"
#include "wire/LocalSocket.h"
#include "filterd/control/PeerProcess.h"

#include <cerrno>
#include <cstring>
#include <sys/epoll.h>

using Quilvane::Wire::UniqueFd;

namespace Filterd {
namespace {

std::string describe(const PeerPolicy::Peer& peer) {
    return "client pid " + std::to_string(peer.pid) + " (uid " + std::to_string(peer.uid) + ")";
}

} // namespace

ClientAdmission::ClientAdmission(EventLoop& loop, PeerPolicy policy, Limits limits,
                                 std::unique_ptr<PolkitAuthority> authority, Admitted admitted)
    : m_loop(loop)
    , m_policy(policy)
    , m_quota(limits.total, limits.perUser)
    , m_authority(std::move(authority))
    , m_admitted(std::move(admitted))
    , m_refusals(20, std::chrono::seconds(1)) {}

ClientAdmission::~ClientAdmission() {
    for (auto& [fd, pending] : m_pending) {
        m_loop.remove(fd);
    }
    m_pending.clear();
    m_authority.reset();
}

void ClientAdmission::consider(UniqueFd socket) {
    const auto peer = PeerPolicy::peerOf(socket.get());
    if (!peer) {
        m_refusals.line("refused a client whose credentials could not be read: " +
                        std::string(std::strerror(errno)));
        return;
    }
    if (!takePlace(*peer)) {
        return;
    }
    if (m_policy.allows(*peer)) {
        m_admitted(std::move(socket), *peer, peer->uid == 0 ? "root" : "member of the service's group");
        return;
    }
    askPolkit(std::move(socket), *peer);
}

bool ClientAdmission::takePlace(const PeerPolicy::Peer& peer) {
    switch (m_quota.reserve(peer.uid)) {
    case ClientQuota::Verdict::admitted:
        return true;
    case ClientQuota::Verdict::userFull:
        if (m_usersAtLimit.insert(peer.uid).second) {
            Log::line("client limit reached: uid " + std::to_string(peer.uid) + " already has " +
                      std::to_string(m_quota.perUser()) +
                      " connections; refusing its new clients (first: " + describe(peer) + ")");
        }
        return false;
    case ClientQuota::Verdict::totalFull:
        if (!m_atTotalLimit) {
            m_atTotalLimit = true;
            Log::line("client limit reached: " + std::to_string(m_quota.total()) +
                      " connections in all; refusing new clients of users other than root (first: " +
                      describe(peer) + ")");
        }
        return false;
    }
    return false;
}

void ClientAdmission::released(uid_t uid) {
    m_quota.release(uid);
    m_usersAtLimit.erase(uid);
    m_atTotalLimit = m_atTotalLimit && m_quota.used() >= m_quota.total();
}

void ClientAdmission::askPolkit(UniqueFd socket, const PeerPolicy::Peer& peer) {
    if (!m_authority) {
        refuse(peer, "neither root nor a member of the service's group");
        return;
    }
    if (askedTooSoon(peer.uid)) {
        refuse(peer, "polkit refused this user less than a second ago");
        return;
    }
    const auto process = PeerProcess::of(socket.get(), peer);
    if (!process) {
        released(peer.uid); // gone before it could be asked: nothing to say
        return;
    }
    const int fd = socket.get();
    const std::uint64_t ticket =
        m_authority->ask(*process, [this, fd](PolkitAuthority::Answer answer, const std::string& detail) {
            answered(fd, answer, detail);
        });
    if (ticket == 0) {
        refuse(peer,
               "neither root nor a member of the service's group, and there is no system bus to ask polkit");
        return;
    }
    // Only a hang-up is watched while polkit thinks; commands wait in the socket until then.
    if (!m_loop.add(fd, EPOLLRDHUP, [this, fd](std::uint32_t) { hungUp(fd); })) {
        m_authority->cancel(ticket);
        released(peer.uid);
        return;
    }
    m_pending.emplace(fd, Pending{std::move(socket), peer, *process, ticket});
}

void ClientAdmission::answered(int fd, PolkitAuthority::Answer answer, const std::string& detail) {
    auto node = m_pending.extract(fd);
    if (node.empty()) {
        return;
    }
    m_loop.remove(fd);
    Pending& pending = node.mapped();
    // Without a pidfd the pid may have passed to another process while polkit thought; its answer
    // then speaks of that process, not of the client.
    const bool sameProcess = pending.process.pidfdChecked || pending.process.stillTheSame();
    if (answer == PolkitAuthority::Answer::authorized && sameProcess) {
        m_refusedByPolkit.erase(pending.peer.uid);
        m_admitted(std::move(pending.socket), pending.peer, "authorised by polkit");
        return;
    }
    if (answer == PolkitAuthority::Answer::refused) {
        m_refusedByPolkit.try_emplace(pending.peer.uid, std::chrono::steady_clock::now());
    }
    if (Quilvane::Wire::LocalSocket::hasHungUp(fd)) {
        released(pending.peer.uid); // left while polkit thought: nobody to tell
        return;
    }
    refuse(pending.peer, sameProcess ? "neither root nor a member of the service's group, and " + detail
                                     : std::string("its process ended while polkit was asked"));
}

bool ClientAdmission::askedTooSoon(uid_t uid) {
    const auto refused = m_refusedByPolkit.find(uid);
    if (refused == m_refusedByPolkit.end()) {
        return false;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now - refused->second < std::chrono::seconds(1)) {
        return true;
    }
    refused->second = now;
    return false;
}

void ClientAdmission::hungUp(int fd) {
    auto node = m_pending.extract(fd);
    if (node.empty()) {
        return;
    }
    m_loop.remove(fd);
    m_authority->cancel(node.mapped().ticket);
    released(node.mapped().peer.uid);
}

void ClientAdmission::refuse(const PeerPolicy::Peer& peer, const std::string& why) {
    released(peer.uid);
    m_refusals.line("refused " + describe(peer) + ": " + why);
}

} // namespace Filterd
