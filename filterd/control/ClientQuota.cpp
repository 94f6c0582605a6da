// SPDX-License-Identifier: GPL-3.0-or-later
#include "filterd/control/ClientQuota.h"

namespace Filterd {

ClientQuota::ClientQuota(std::size_t total, std::size_t perUser)
    : m_total(total)
    , m_perUser(perUser) {}

ClientQuota::Verdict ClientQuota::reserve(uid_t uid) {
    const auto it = m_byUser.find(uid);
    const std::size_t held = it == m_byUser.end() ? 0 : it->second;
    if (held >= m_perUser) {
        return Verdict::userFull;
    }
    if (uid != 0 && m_used >= m_total) {
        return Verdict::totalFull;
    }
    ++m_byUser[uid];
    if (uid != 0) {
        ++m_used;
    }
    return Verdict::admitted;
}

void ClientQuota::release(uid_t uid) {
    const auto it = m_byUser.find(uid);
    if (it == m_byUser.end()) {
        return;
    }
    if (--it->second == 0) {
        m_byUser.erase(it);
    }
    if (uid != 0 && m_used > 0) {
        --m_used;
    }
}

} // namespace Filterd
