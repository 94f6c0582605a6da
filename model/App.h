// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <memory>
#include <optional>

class App;
using AppPtr = std::shared_ptr<const App>;

// What the filter service reports about a process along with its connections: the program it runs
// (the full path where the service knows it, else the file name) and the `#!` script it was started
// through, if any. Either may be empty.
struct ReportedProgram {
    QString executable;
    QString script;
};

// The immutable identity of an application or process. `identifier` is the one key that says
// whether two values are the same application: the absolute path for an app with a path, the
// process name otherwise. Identifiers are compared as text (case-sensitive, no path normalisation),
// with canonically equivalent Unicode spellings (NFC and NFD) counting as equal.
//
// The factories that can fail return an empty pointer; none of them throws.
class App final {
public:
    // The three values as given; identifier = path when given, else executable. Never fails.
    static AppPtr initWithName(const QString& name, const QString& executable,
                               const std::optional<QString>& path);
    // A bundle (directory or desktop entry) with a main executable, or an executable file.
    static AppPtr initWithPath(const QString& path);
    // "/..." resolves as a path (and fails with it); anything else is a bare app, no disk access.
    static AppPtr initWithIdentifier(const QString& identifier);
    // An identifier the block list stored earlier. As initWithIdentifier, except that a package that
    // is still there but whose program cannot be found now (a desktop entry whose Exec= program is on
    // a folder missing from this PATH, a bundle whose executable is gone) is kept, marked as not
    // found, under the program name the package gives. Fails only for a path that no longer holds
    // a package or an executable.
    static AppPtr initWithStoredIdentifier(const QString& identifier);
    // From the running-applications registry or /proc; bare by process name as a fallback.
    static AppPtr initWithPid(qint32 pid);
    // The same, told by the filter service who the process is: a script is named rather than its
    // interpreter, and where /proc cannot tell (another user's process, one that has exited) the
    // service's name is used rather than the kernel's 15-byte short name.
    static AppPtr initWithPid(qint32 pid, const ReportedProgram& reported);

    const QString& identifier() const { return m_identifier; }
    const QString& name() const { return m_name; }
    const QString& executable() const { return m_executable; }
    const std::optional<QString>& path() const { return m_path; }
    // False for a stored package whose program could not be found when it was loaded; its
    // executable() is then the name the package gives, or empty when it gives none.
    bool programFound() const { return m_programFound; }
    // The identifier in the form that decides identity (NFC): the key for hashes of applications.
    const QString& identifierKey() const { return m_identifierKey; }

    // Identity as the block list, the firewall table and the monitor use it.
    bool hasSameIdentifier(const App& other) const;
    static bool identifiersEqual(const QString& a, const QString& b);

    App(QString identifier, QString name, QString executable, std::optional<QString> path,
        bool programFound = true);

private:
    QString m_identifier;
    QString m_name;
    QString m_executable;
    std::optional<QString> m_path;
    bool m_programFound;
    QString m_identifierKey; // NFC form of m_identifier, compared by hasSameIdentifier
};

// Module-level helpers used by the factories.
bool fileType(const QString& path, const QString& conformsToType);
bool isBundle(const QString& path);
bool isExecutable(const QString& path);
std::optional<QString> executableName(const QString& path);
std::optional<QString> processPath(qint32 pid);
std::optional<QString> processName(qint32 pid);
