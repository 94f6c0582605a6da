// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QHash>
#include <QSortFilterProxyModel>
#include <QStringList>
#include <optional>

// The open panel's view of the file system: folders stay visible so that the user can walk into
// them, and every other item (application packages included) is shown only when its type conforms to
// one of the allowed type identifiers. Packages are items, never folders: isPackage() says which
// directories count as one.
class OpenPanelTypeFilter final : public QSortFilterProxyModel {
    Q_OBJECT
public:
    explicit OpenPanelTypeFilter(QStringList allowedTypes, QObject* parent = nullptr);

    // Whether the item at `path` may be chosen (any existing item when no types are allowed).
    bool isChoosable(const QString& path) const;
    // A bundle directory (X.app or one with Contents/Info.plist): chosen as a whole, not entered.
    static bool isPackage(const QString& path);
    // A directory the panel enters when it is opened.
    static bool isFolder(const QString& path);

protected:
    bool filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const override;

private:
    std::optional<QString> typeOf(const QString& path) const;

    QStringList m_allowedTypes;
    // Types are read from the disk (execute bits, file heads); the view asks for the same rows often.
    mutable QHash<QString, std::optional<QString>> m_typeCache;
};
