// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QUrl>
#include <memory>
#include <optional>

// The running-applications registry: an entry exists for a process that runs an application
// package, that is one whose executable lies in a bundle directory (`.../X.app/Contents/MacOS/exe`)
// or that the desktop started from a desktop entry (GIO_LAUNCHED_DESKTOP_FILE in its environment,
// with GIO_LAUNCHED_DESKTOP_FILE_PID naming the process itself, so that children which merely
// inherited the variables are not mistaken for the application). Thread-safe.
class RunningApplication final {
public:
    // The registry entry for `pid`; empty for a plain process or one that has exited.
    static std::unique_ptr<const RunningApplication> runningApplicationWithProcessIdentifier(qint32 pid);

    qint32 processIdentifier() const { return m_pid; }
    // The bundle directory or the desktop entry file.
    const std::optional<QUrl>& bundleURL() const { return m_bundleURL; }
    // The process's executable, when /proc still tells it.
    const std::optional<QUrl>& executableURL() const { return m_executableURL; }

    RunningApplication(qint32 pid, std::optional<QUrl> bundleURL, std::optional<QUrl> executableURL);

private:
    qint32 m_pid;
    std::optional<QUrl> m_bundleURL;
    std::optional<QUrl> m_executableURL;
};
