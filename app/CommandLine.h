// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <QStringList>
#include <optional>

// The options of the `quilvane` program. It is an ordinary desktop application and needs none; the
// few there are serve people who ask for help or the version, and demos that run without a screen
// and want a picture of the window.
class CommandLine final {
public:
    // Parses the arguments after the program name. Unknown options and bad values give an error.
    static CommandLine parse(const QStringList& arguments);

    static QString usage();
    static QString versionText();

    bool helpRequested() const { return m_help; }
    bool versionRequested() const { return m_version; }
    // A message fit for the terminal when the arguments could not be used.
    const std::optional<QString>& error() const { return m_error; }

    // Save a picture of the front window to this file, then quit.
    const std::optional<QString>& screenshotPath() const { return m_screenshotPath; }
    // Quit (after the screenshot, if any) this many seconds after the start.
    const std::optional<double>& quitAfterSeconds() const { return m_quitAfterSeconds; }

private:
    bool m_help = false;
    bool m_version = false;
    std::optional<QString> m_error;
    std::optional<QString> m_screenshotPath;
    std::optional<double> m_quitAfterSeconds;
};
