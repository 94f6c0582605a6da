// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "platform/UserDefaults.h"

#include <QString>

// The settings the application keeps, each named in one place: the key, and the type the settings
// file must hold for it (a file holding another type is damaged and restored from its backup).
namespace SettingsKeys {

inline const QString firstRunCompleted = QStringLiteral("firstRunCompleted");
inline const QString enableFirewall = QStringLiteral("enableFirewall");
inline const QString blacklist = QStringLiteral("blacklist");
// How many starts have begun the import of the older version's list without finishing it.
inline const QString legacyImportAttempts = QStringLiteral("legacyImportAttempts");

inline UserDefaults::Schema schema() {
    return {
        {firstRunCompleted, UserDefaults::ValueType::boolean},
        {enableFirewall, UserDefaults::ValueType::boolean},
        {blacklist, UserDefaults::ValueType::stringArray},
        {legacyImportAttempts, UserDefaults::ValueType::string},
    };
}

} // namespace SettingsKeys
