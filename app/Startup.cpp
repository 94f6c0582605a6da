#include "app/Startup.h"

#include "model/DefaultsKeys.h"
#include "model/LegacyImporter.h"
#include "platform/UserDefaults.h"

void Startup::registerDefaults(UserDefaults& defaults) {
    defaults.registerDefaults({
        {DefaultsKeys::firstRunCompleted(), false},
        {DefaultsKeys::enableFirewall(), true},
    });
}

bool Startup::importLegacyBlacklistIfFirstRun(UserDefaults& defaults, const QString& directory) {
    if (defaults.boolForKey(DefaultsKeys::firstRunCompleted())) {
        return false;
    }
    defaults.setBool(true, DefaultsKeys::firstRunCompleted());
    LegacyImporter(directory).importBlacklist();
    return true;
}
