// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <optional>

// Facts about processes and the running system, read from /proc and uname(2). Paths and names
// are decoded as UTF-8, each invalid byte sequence becoming U+FFFD. A process that exits while it
// is being read simply gives no answer. Thread-safe.
class ProcessInfo final {
public:
    ProcessInfo() = delete;

    // The executable of a process (/proc/PID/exe), without the " (deleted)" the kernel appends to
    // a replaced or removed file.
    static std::optional<QString> processPath(qint32 pid);
    // The kernel's short name of a process (/proc/PID/comm, at most 15 bytes).
    static std::optional<QString> processName(qint32 pid);
    // The value of one variable in a process's initial environment (/proc/PID/environ).
    static std::optional<QByteArray> environmentValue(qint32 pid, const QByteArray& name);

    // The running kernel's release as "major.minor.patch" ("6.1.0" for "6.1.0-18-amd64").
    static QString osVersionString();
    // Whether the filter service needs an administrator's approval before it can run. It does on
    // Linux; tests may set the answer (std::nullopt restores the real one).
    static bool filterNeedsApproval();
    static void setFilterNeedsApprovalOverride(std::optional<bool> answer);
};
