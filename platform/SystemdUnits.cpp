// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/SystemdUnits.h"

#include <QFileInfo>
#include <algorithm>

QStringList SystemdUnits::systemDirectories() {
    return {QStringLiteral("/etc/systemd/system"), QStringLiteral("/run/systemd/system"),
            QStringLiteral("/usr/local/lib/systemd/system"), QStringLiteral("/usr/lib/systemd/system"),
            QStringLiteral("/lib/systemd/system")};
}

bool SystemdUnits::isInstalled(const QString& unit, const QStringList& directories) {
    return std::any_of(directories.cbegin(), directories.cend(), [&](const QString& directory) {
        return QFileInfo(directory + QLatin1Char('/') + unit).isFile();
    });
}
