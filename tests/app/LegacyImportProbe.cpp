// SPDX-License-Identifier: GPL-3.0-or-later
// The start-up steps before the first window, alone in a process of their own, so that a test can
// kill them at any moment: the settings schema and defaults, then the first-run import from the
// folder given as the only argument. With QUILVANE_PROBE_DIE_INSIDE_IMPORT set, the process kills
// itself as soon as the attempt is counted on disk, as a crash inside the import would end it.

#include "app/Startup.h"
#include "model/SettingsKeys.h"
#include "platform/UserDefaults.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <csignal>
#include <cstdio>
#include <thread>

namespace {

int storedAttempts(const QString& settingsPath) {
    QFile file(settingsPath);
    if (!file.open(QIODevice::ReadOnly)) {
        return 0;
    }
    return QJsonDocument::fromJson(file.readAll())
        .object()
        .value(SettingsKeys::legacyImportAttempts)
        .toString()
        .toInt();
}

void dieOnceTheAttemptIsCounted(const QString& settingsPath) {
    const int before = storedAttempts(settingsPath);
    std::thread([settingsPath, before] {
        for (;;) {
            if (storedAttempts(settingsPath) > before) {
                std::raise(SIGKILL);
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }).detach();
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    if (argc != 2) {
        std::fputs("usage: legacy_import_probe LEGACY-FOLDER\n", stderr);
        return 2;
    }
    Startup::useSettingsSchema();
    UserDefaults& defaults = UserDefaults::standard();
    Startup::registerDefaults(defaults);
    if (qEnvironmentVariableIsSet("QUILVANE_PROBE_DIE_INSIDE_IMPORT")) {
        dieOnceTheAttemptIsCounted(defaults.filePath());
    }
    const bool imported = Startup::importLegacyBlacklistIfFirstRun(defaults, QFile::decodeName(argv[1]));
    std::puts(imported ? "imported" : "skipped");
    return 0;
}
