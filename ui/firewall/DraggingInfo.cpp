// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/firewall/DraggingInfo.h"

#include <QMimeData>
#include <QUrl>

namespace {

std::optional<QStringList> localFilePaths(const QMimeData& data) {
    if (!data.hasFormat(DraggingInfo::fileNamesType())) {
        return std::nullopt;
    }
    // Parsed here rather than with QMimeData::urls(), which would take the comment lines that
    // text/uri-list allows for addresses.
    QStringList paths;
    const QList<QByteArray> lines = data.data(DraggingInfo::fileNamesType()).split('\n');
    for (const QByteArray& rawLine : lines) {
        const QByteArray line = rawLine.trimmed();
        if (line.isEmpty() || line.startsWith('#')) {
            continue;
        }
        const QUrl url = QUrl::fromEncoded(line);
        if (!url.isValid() || !url.isLocalFile()) {
            return std::nullopt;
        }
        paths.append(url.toLocalFile());
    }
    return paths;
}

} // namespace

QString DraggingInfo::fileNamesType() {
    return QStringLiteral("text/uri-list");
}

DraggingInfo::DraggingInfo(QStringList types, std::optional<QStringList> fileNames,
                           unsigned sourceOperationMask)
    : m_types(std::move(types))
    , m_fileNames(std::move(fileNames))
    , m_sourceOperationMask(sourceOperationMask) {}

DraggingInfo DraggingInfo::fromMimeData(const QMimeData* data, unsigned possibleActions) {
    if (data == nullptr) {
        return DraggingInfo({}, std::nullopt, possibleActions);
    }
    return DraggingInfo(data->formats(), localFilePaths(*data), possibleActions);
}
