// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <memory>
#include <string>
#include <sys/types.h>

// A system bus and a polkit of the test's own: a real dbus-daemon listening in a temporary folder
// and a real polkitd on it, started in a mount namespace of its own where the rules folder holds
// only `rules` and the actions folder only the service's policy, so the machine's own polkit
// configuration is neither read nor touched. Both are killed when it goes away.
class PolkitTestBus final {
public:
    // `folder` must be searchable by other users (polkitd reads it as its own user). Nothing, with
    // `why` set, when dbus-daemon or polkitd is missing or does not come up.
    static std::unique_ptr<PolkitTestBus> start(const std::string& folder, const std::string& rules,
                                                std::string& why);
    // The bus alone, with nobody owning polkit's name on it.
    static std::unique_ptr<PolkitTestBus> startWithoutPolkit(const std::string& folder, std::string& why);
    ~PolkitTestBus();

    // What DBUS_SYSTEM_BUS_ADDRESS must hold for a client to use this bus.
    std::string address() const { return "unix:path=" + m_socket; }
    pid_t polkitPid() const { return m_polkit; }

private:
    PolkitTestBus() = default;
    bool startBus(const std::string& folder, std::string& why);
    bool startPolkit(const std::string& folder, const std::string& rules, std::string& why);

    std::string m_socket;
    pid_t m_bus = -1;
    pid_t m_polkit = -1;
};
