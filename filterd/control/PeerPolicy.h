// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <optional>
#include <sys/socket.h>
#include <sys/types.h>
#include <vector>

namespace Filterd {

// Who may use the control socket: root, the user the service runs as, and the members of its
// group. The file mode of the socket already keeps others out; this check holds even when that
// mode has been loosened by hand. Membership comes from the peer's own credentials at connect
// time (SO_PEERCRED and SO_PEERGROUPS), not from the group database, so it cannot be raced.
class PeerPolicy final {
public:
    struct Peer {
        pid_t pid = 0;
        uid_t uid = 0;
        gid_t gid = 0;
        std::vector<gid_t> groups;
    };

    PeerPolicy(uid_t serviceUid, std::optional<gid_t> group);

    // The credentials of the process at the other end of a connected AF_UNIX socket.
    static std::optional<Peer> peerOf(int fd);

    bool allows(const Peer& peer) const;

private:
    uid_t m_serviceUid;
    std::optional<gid_t> m_group;
};

} // namespace Filterd
