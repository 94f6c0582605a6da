// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/Images.h"

#include <QFile>

std::optional<QIcon> Images::imageNamed(const QString& name) {
    if (name.isEmpty() || name.contains(QLatin1Char('/'))) {
        return std::nullopt;
    }
    const QString path = QStringLiteral(":/images/") + name + QStringLiteral(".png");
    if (!QFile::exists(path)) {
        return std::nullopt;
    }
    return QIcon(path);
}
