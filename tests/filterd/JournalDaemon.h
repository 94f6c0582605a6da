// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QJsonObject>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

// The systemd journal for the tests. systemd need not be PID 1: journald started by hand accepts
// native entries on /run/systemd/journal/socket. A journald that already runs is used as it is;
// one this class started is stopped again, and nothing else.
class JournalDaemon final {
public:
    // Nothing, with `why` set, when systemd-journald is not installed or does not come up.
    static std::unique_ptr<JournalDaemon> use(std::string& why);
    ~JournalDaemon();
    JournalDaemon(const JournalDaemon&) = delete;
    JournalDaemon& operator=(const JournalDaemon&) = delete;

    // `journalctl -o json MATCH…`, one object an entry (after a sync of what journald holds).
    static std::vector<QJsonObject> entries(const std::vector<std::string>& matches);

private:
    JournalDaemon() = default;
    pid_t m_started = -1;
    std::string m_dropIn; // our rate-limit drop-in, removed with the daemon
};
