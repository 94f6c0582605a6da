// SPDX-License-Identifier: GPL-3.0-or-later
#include "filterd/names/ResolvedNames.h"

#include <algorithm>
#include <netinet/in.h>
#include <string_view>

namespace Filterd {

ResolvedNames::ResolvedNames(std::size_t entriesPerUser)
    : m_entriesPerUser(std::max<std::size_t>(entriesPerUser, 1)) {}

std::size_t ResolvedNames::KeyHash::operator()(const Key& key) const noexcept {
    const std::string_view bytes(reinterpret_cast<const char*>(key.address.bytes.data()),
                                 key.address.bytes.size());
    return std::hash<std::string_view>{}(bytes) ^
           (static_cast<std::size_t>(key.tgid) * 0x9e3779b97f4a7c15ULL);
}

void ResolvedNames::learn(uid_t uid, pid_t tgid, const DnsAnswer& answer) {
    UserNames& user = m_users[uid];
    for (const DnsAnswer::Address& address : answer.addresses) {
        const Key key{tgid, unmapped(address)};
        auto [entry, added] = user.names.insert_or_assign(key, answer.name);
        if (!added) {
            continue; // the latest answer names it; its place in the queue stays
        }
        user.oldestFirst.push_back(key);
        if (user.oldestFirst.size() > m_entriesPerUser) {
            user.names.erase(user.oldestFirst.front());
            user.oldestFirst.pop_front();
        }
    }
}

std::string ResolvedNames::nameFor(uid_t uid, pid_t tgid, const DnsAnswer::Address& address) const {
    const auto user = m_users.find(uid);
    if (user == m_users.end()) {
        return {};
    }
    const auto found = user->second.names.find(Key{tgid, unmapped(address)});
    return found == user->second.names.end() ? std::string() : found->second;
}

std::size_t ResolvedNames::size() const {
    std::size_t entries = 0;
    for (const auto& [uid, user] : m_users) {
        entries += user.names.size();
    }
    return entries;
}

DnsAnswer::Address ResolvedNames::unmapped(const DnsAnswer::Address& address) {
    static constexpr std::uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (address.family != AF_INET6 ||
        !std::equal(std::begin(kMappedPrefix), std::end(kMappedPrefix), address.bytes.begin())) {
        return address;
    }
    DnsAnswer::Address v4{AF_INET, {}};
    std::copy(address.bytes.begin() + 12, address.bytes.end(), v4.bytes.begin());
    return v4;
}

} // namespace Filterd
