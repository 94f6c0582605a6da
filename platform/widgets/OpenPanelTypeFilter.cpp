// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/widgets/OpenPanelTypeFilter.h"

#include "platform/TypeIdentifiers.h"

#include "platform/Workspace.h"

#include <QFileInfo>
#include <QFileSystemModel>
#include <algorithm>

namespace {

const QString& bundleType = TypeIdentifiers::bundle;

} // namespace

OpenPanelTypeFilter::OpenPanelTypeFilter(QStringList allowedTypes, QObject* parent)
    : QSortFilterProxyModel(parent)
    , m_allowedTypes(std::move(allowedTypes)) {}

bool OpenPanelTypeFilter::isChoosable(const QString& path) const {
    const std::optional<QString> type = typeOf(path);
    if (!type) {
        return false;
    }
    if (m_allowedTypes.isEmpty()) {
        return true;
    }
    return std::any_of(m_allowedTypes.cbegin(), m_allowedTypes.cend(),
                       [&](const QString& allowed) { return Workspace::typeConformsToType(*type, allowed); });
}

bool OpenPanelTypeFilter::isPackage(const QString& path) {
    if (!QFileInfo(path).isDir()) {
        return false;
    }
    const std::optional<QString> type = Workspace::typeOfFile(path);
    return type && Workspace::typeConformsToType(*type, bundleType);
}

bool OpenPanelTypeFilter::isFolder(const QString& path) {
    return QFileInfo(path).isDir() && !isPackage(path);
}

bool OpenPanelTypeFilter::filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const {
    const auto* files = qobject_cast<const QFileSystemModel*>(sourceModel());
    if (!files) {
        return true;
    }
    const QString path = files->filePath(files->index(sourceRow, 0, sourceParent));
    if (files->isDir(files->index(sourceRow, 0, sourceParent)) && isFolder(path)) {
        return true;
    }
    return isChoosable(path);
}

std::optional<QString> OpenPanelTypeFilter::typeOf(const QString& path) const {
    const auto cached = m_typeCache.constFind(path);
    if (cached != m_typeCache.constEnd()) {
        return *cached;
    }
    const std::optional<QString> type = Workspace::typeOfFile(path);
    m_typeCache.insert(path, type);
    return type;
}
