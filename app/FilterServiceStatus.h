// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <QStringList>
#include <chrono>
#include <string>

// Why the filter service cannot be used, as far as this user can tell from outside: it is not
// installed, it is installed but not running, or it runs and does not let this user in. The start-up
// guide and the main window's error view say what is true and what helps, instead of one text for
// every case. A service that answers lets the user in; whether it speaks this version's protocol
// only shows later.
class FilterServiceStatus final {
public:
    enum class State { notInstalled, notRunning, refused, answering };

    // What the user reads for a state: a title, an explanation, and one command that helps (empty
    // when none does), which the windows show selectable with a Copy button.
    struct Advice {
        QString title;
        QString explanation;
        QString command;
    };

    FilterServiceStatus() = delete;

    // Connects to the control socket at `controlPath` and closes again. A service that admits a
    // client only once polkit has answered hangs up on a refused one within a second, so when this
    // user is neither root nor in the socket's group the probe waits up to `verdictWait` for that.
    // `unitDirectories` tell "not installed" from "not running".
    static State probe(const std::string& controlPath, const QStringList& unitDirectories,
                       std::chrono::milliseconds verdictWait);
    // The same for the control socket in use and the system's unit folders.
    static State probe(std::chrono::milliseconds verdictWait);

    static Advice advice(State state, const QString& userName);
    // The advice in one line for the terminal: "quilvane: TITLE (COMMAND)".
    static QString terminalLine(const Advice& advice);
    // The login name of this process's user.
    static QString currentUserName();
};
