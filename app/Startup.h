#pragma once

#include <QString>

class UserDefaults;

// The steps of start-up that come before any window: the default settings, and the import of an
// older version's block list the first time this version runs for a user.
class Startup final {
public:
    Startup() = delete;

    // "firstRunCompleted" false and "enableFirewall" true, unless the user has stored a value.
    static void registerDefaults(UserDefaults& defaults);

    // On the first run, marks the first run as done and then imports the legacy block list from
    // `directory` (so an import cut short is never tried again). Answers whether it imported.
    static bool importLegacyBlacklistIfFirstRun(UserDefaults& defaults, const QString& directory);
};
