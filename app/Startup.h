// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

class QObject;
class UserDefaults;

// The steps of start-up that come before any window: the default settings, and the import of an
// older version's block list the first time this version runs for a user.
class Startup final {
public:
    Startup() = delete;

    // How many starts may begin the import and die inside it before it is given up: a kill (a logout,
    // a power cut) is retried, but an import that crashes the application must not crash every start.
    static constexpr int maximumImportAttempts = 3;

    // "firstRunCompleted" false and "enableFirewall" true, unless the user has stored a value; the
    // known keys' types for checking the settings file.
    static void registerDefaults(UserDefaults& defaults);
    // The settings' schema for the standard defaults; call before the first UserDefaults::standard().
    static void useSettingsSchema();

    // The settings file is shared with quilvanectl: the block list follows when another program
    // changes it (the panes and the filter service hear of it as of a change in the window).
    // `context` ends the following when it goes.
    static void followSettingsFile(UserDefaults& defaults, QObject* context);

    // On the first run, imports the legacy block list from `directory` all or nothing: the imported
    // entries and the mark that the first run is done reach the settings file in one atomic write,
    // so a kill at any moment either leaves the import to be done again or done whole. Each attempt is
    // counted first; after maximumImportAttempts unfinished ones the import is given up and the window
    // says so. Nothing is imported while the settings file is damaged (whether the first run was done
    // is unknown then). Answers whether it imported.
    static bool importLegacyBlacklistIfFirstRun(UserDefaults& defaults, const QString& directory);
};
