// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QStringList>
#include <optional>

class QMimeData;

// What a drag offers the firewall pane, read once from the drag's data: the data types on offer,
// the dragged file paths and the operations the drag's source allows. Keeping it a plain value lets
// the drop target decide without a live drag.
//
// Files travel as "text/uri-list". The file list is absent when that type is missing or when an entry
// is not a local file (a web address, say): such a list cannot be read as file paths. The operation
// mask uses the drag's allowed actions, in which copy is bit 1.
class DraggingInfo final {
public:
    static constexpr unsigned operationNone = 0;
    static constexpr unsigned operationCopy = 1;

    // The data type that carries file paths.
    static QString fileNamesType();

    DraggingInfo(QStringList types, std::optional<QStringList> fileNames, unsigned sourceOperationMask);

    // Reads the drag's data; `possibleActions` are the actions the source allows (Qt::DropActions).
    static DraggingInfo fromMimeData(const QMimeData* data, unsigned possibleActions);

    const QStringList& types() const { return m_types; }
    const std::optional<QStringList>& fileNames() const { return m_fileNames; }
    unsigned sourceOperationMask() const { return m_sourceOperationMask; }

private:
    QStringList m_types;
    std::optional<QStringList> m_fileNames;
    unsigned m_sourceOperationMask;
};
