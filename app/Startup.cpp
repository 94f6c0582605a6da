#include "app/Startup.h"

#include "model/LegacyImporter.h"
#include "platform/UserDefaults.h"

namespace {

const QString firstRunCompletedKey = QStringLiteral("firstRunCompleted");
const QString enableFirewallKey = QStringLiteral("enableFirewall");

} // namespace

void Startup::registerDefaults(UserDefaults& defaults) {
    defaults.registerDefaults({
        {firstRunCompletedKey, false},
        {enableFirewallKey, true},
    });
}

bool Startup::importLegacyBlacklistIfFirstRun(UserDefaults& defaults, const QString& directory) {
    if (defaults.boolForKey(firstRunCompletedKey)) {
        return false;
    }
    defaults.setBool(true, firstRunCompletedKey);
    LegacyImporter(directory).importBlacklist();
    return true;
}
