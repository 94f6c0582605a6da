// SPDX-License-Identifier: GPL-3.0-or-later
#include "filterd/control/PeerPolicy.h"

#include <algorithm>
#include <cerrno>

namespace Filterd {

PeerPolicy::PeerPolicy(uid_t serviceUid, std::optional<gid_t> group)
    : m_serviceUid(serviceUid)
    , m_group(group) {}

std::optional<PeerPolicy::Peer> PeerPolicy::peerOf(int fd) {
    ucred cred{};
    socklen_t length = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &length) != 0) {
        return std::nullopt;
    }
    Peer peer{cred.pid, cred.uid, cred.gid, {}};
    std::vector<gid_t> groups(64);
    for (;;) {
        length = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &length) == 0) {
            groups.resize(length / sizeof(gid_t));
            break;
        }
        if (errno != ERANGE || groups.size() >= 65536) {
            return std::nullopt;
        }
        groups.resize(std::max<std::size_t>(groups.size() * 2, length / sizeof(gid_t)));
    }
    peer.groups = std::move(groups);
    return peer;
}

bool PeerPolicy::allows(const Peer& peer) const {
    if (peer.uid == 0 || peer.uid == m_serviceUid) {
        return true;
    }
    if (!m_group) {
        return false;
    }
    return peer.gid == *m_group ||
           std::find(peer.groups.begin(), peer.groups.end(), *m_group) != peer.groups.end();
}

} // namespace Filterd
