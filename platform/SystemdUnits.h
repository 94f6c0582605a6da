// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <QStringList>

// Where systemd keeps unit files, and whether one is installed; the desktop knows a system service
// by its unit.
class SystemdUnits final {
public:
    // The folders systemd reads system units from, most specific first.
    static QStringList systemDirectories();

    // Whether `unit` is a file in one of `directories`.
    static bool isInstalled(const QString& unit, const QStringList& directories = systemDirectories());
};
