// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <QStringList>
#include <optional>

// The program a desktop entry's Exec= really starts, named as the filter service will see it, not
// as the first word of the line:
//  - `env` with its options and VAR=value words is skipped;
//  - `flatpak run … APP` gives --command= when present, else the command= of the installed
//    application's metadata (the path inside the sandbox, such as /app/bin/tool);
//  - /snap/bin/NAME (and an entry with X-SnapInstanceName) gives the command of the snap's app from
//    its meta/snap.yaml, else the app's name;
//  - an AppImage gives its own file;
//  - anything else is found on PATH with symbolic links followed, except a link to a multi-call
//    program (snap, busybox, …), which keeps its own name: the program it is named after is not
//    the one that runs. A wrapper script is therefore its own name, and the service matches scripts.
// The snap and flatpak folders can be moved for tests with setRoots().
class DesktopExec final {
public:
    DesktopExec() = delete;

    struct Roots {
        QString snap = QStringLiteral("/snap");
        // The flatpak installations, the user's first.
        QStringList flatpak;
    };
    // The folders on this machine: /snap, $XDG_DATA_HOME/flatpak and /var/lib/flatpak.
    static Roots systemRoots();
    static void setRoots(std::optional<Roots> roots); // nothing restores the system's

    // The program of an Exec= line already split into words (g_shell_parse_argv); `snapInstanceName`
    // is the entry's X-SnapInstanceName= when it has one.
    static std::optional<QString> program(const QStringList& words, const QString& snapInstanceName = {});
    // The file name of the program an Exec= line names, as written (after `env`), for when program()
    // cannot find it: a program on a folder missing from this PATH is still the one the service will
    // see once it runs. Nothing for `flatpak run`: its program lies inside the installation.
    static std::optional<QString> programName(const QStringList& words);
};
