// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/FileManager.h"

#include "platform/Bundle.h"

#include <QDir>
#include <QFileInfo>

bool FileManager::fileExistsAtPath(const QString& path) {
    return !path.isEmpty() && QFileInfo::exists(path);
}

QString FileManager::displayNameAtPath(const QString& path) {
    if (path.endsWith(QLatin1String(".desktop"))) {
        if (const auto bundle = Bundle::initWithPath(path)) {
            if (const std::optional<QString> name = bundle->displayName()) {
                return *name;
            }
        }
    }
    const QString name = QFileInfo(QDir::cleanPath(path)).fileName();
    if (name.isEmpty()) {
        return path; // "/" and the like have no last component to show
    }
    if (name.size() > 4 && name.endsWith(QLatin1String(".app")) && QFileInfo(path).isDir()) {
        return name.chopped(4);
    }
    return name;
}
