// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QStringList>
#include <cstdint>
#include <vector>

class Blacklist;

// What the application sends the filter service for the block list, checked against what the
// service accepts, so that the window never shows a block that is not in force:
//  - an entry whose program name cannot be sent (a NUL byte, text UTF-8 cannot carry, a name longer
//    than a file name can be) is left out, the rest is sent, and the entry is named as unenforceable;
//  - a list the service would refuse as a whole (too many names, too many bytes) is not sent: the
//    service keeps the list it has, and the window says the list is too long;
//  - a block list that could not be read from the settings is not sent until the user changes the
//    list or the firewall switch, so a damaged file never lifts the blocks in force.
class FilterCommand final {
public:
    // The command for `blacklist` (none counts as empty) with the firewall on or off.
    static FilterCommand forBlacklist(const Blacklist* blacklist, bool firewallEnabled);

    // Whether a command is to be sent at all; false leaves the service's list as it is.
    bool replacesServiceList() const { return m_replacesServiceList; }
    // The names, each followed by a NUL byte; empty for the empty command (block nothing).
    const std::vector<std::uint8_t>& payload() const { return m_payload; }
    // Identifiers of the entries left out because their program name cannot be sent.
    const QStringList& unenforceable() const { return m_unenforceable; }
    bool tooLong() const { return m_nameCount > 0 && !m_replacesServiceList && !m_awaitingUserChange; }
    std::size_t nameCount() const { return m_nameCount; }

    // Raises or withdraws the window's notices about this command.
    void report() const;

private:
    bool m_replacesServiceList = true;
    bool m_awaitingUserChange = false;
    std::size_t m_nameCount = 0;
    std::vector<std::uint8_t> m_payload;
    QStringList m_unenforceable;
};
