// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/Startup.h"

#include "model/Blacklist.h"
#include "model/LegacyImporter.h"
#include "model/Notices.h"
#include "model/SettingsKeys.h"
#include "platform/UserDefaults.h"

#include <QObject>
#include <cstdio>

namespace {

void giveUpImport(UserDefaults& defaults, const QString& directory) {
    defaults.setBool(true, SettingsKeys::firstRunCompleted);
    defaults.setValue(QVariant(), SettingsKeys::legacyImportAttempts);
    const QString text =
        QStringLiteral("The block list of the older version (%1) was not imported: the import stopped "
                       "before the end %2 times. Add its applications again with Add Application….")
            .arg(LegacyImporter(directory).filePath())
            .arg(Startup::maximumImportAttempts);
    Notices::shared().set(QStringLiteral("legacy-import"), text);
    const QByteArray line = QByteArrayLiteral("quilvane: ") + text.toLocal8Bit() + '\n';
    std::fwrite(line.constData(), 1, static_cast<std::size_t>(line.size()), stderr);
}

} // namespace

void Startup::registerDefaults(UserDefaults& defaults) {
    defaults.registerDefaults({
        {SettingsKeys::firstRunCompleted, false},
        {SettingsKeys::enableFirewall, true},
    });
}

void Startup::followSettingsFile(UserDefaults& defaults, QObject* context) {
    defaults.watchFile();
    QObject::connect(&defaults, &UserDefaults::valueReloaded, context, [](const QString& key) {
        if (key == SettingsKeys::blacklist) {
            Blacklist::shared().reloadStored();
        }
    });
}

void Startup::useSettingsSchema() {
    UserDefaults::setStandardSchema(SettingsKeys::schema());
}

bool Startup::importLegacyBlacklistIfFirstRun(UserDefaults& defaults, const QString& directory) {
    if (defaults.boolForKey(SettingsKeys::firstRunCompleted) ||
        defaults.loadReport().state == UserDefaults::LoadState::damaged) {
        return false;
    }
    const int attempts = defaults.objectForKey(SettingsKeys::legacyImportAttempts).toString().toInt();
    if (attempts >= maximumImportAttempts) {
        giveUpImport(defaults, directory);
        return false;
    }
    // On disk before the import starts: a start that dies inside it is counted.
    defaults.setValue(QString::number(attempts + 1), SettingsKeys::legacyImportAttempts);
    defaults.synchronize();
    {
        const UserDefaults::Batch batch(defaults);
        LegacyImporter(directory).importBlacklist();
        defaults.setBool(true, SettingsKeys::firstRunCompleted);
        defaults.setValue(QVariant(), SettingsKeys::legacyImportAttempts);
    }
    defaults.synchronize();
    return true;
}
