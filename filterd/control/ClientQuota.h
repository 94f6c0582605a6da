// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <map>
#include <sys/types.h>

namespace Filterd {

// How many clients the control socket holds at once: at most `perUser` for each user and at most
// `total` for all users together. Root counts against its own per-user share only, so that a crowd
// of other users' clients can never lock the administrator out. A client under a pending
// authorisation holds a place as well, since it holds a descriptor.
class ClientQuota final {
public:
    enum class Verdict { admitted, userFull, totalFull };

    ClientQuota(std::size_t total, std::size_t perUser);

    // Takes a place for a client of `uid`, or says which bound refused it.
    Verdict reserve(uid_t uid);
    // Gives back a place taken by reserve().
    void release(uid_t uid);

    std::size_t total() const { return m_total; }
    std::size_t perUser() const { return m_perUser; }
    std::size_t used() const { return m_used; }

private:
    std::size_t m_total;
    std::size_t m_perUser;
    std::size_t m_used = 0; // places of users other than root
    std::map<uid_t, std::size_t> m_byUser;
};

} // namespace Filterd
