// SPDX-License-Identifier: GPL-3.0-or-later
#include "model/LegacyImporter.h"

#include "model/App.h"
#include "model/Blacklist.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QStringDecoder>

namespace {

const QString folderName = QStringLiteral("Quilvane");
const QString fileName = QStringLiteral("blacklist");

bool isLineSeparator(QChar c) {
    const char16_t u = c.unicode();
    return (u >= 0x000A && u <= 0x000D) || u == 0x0085 || u == 0x2028 || u == 0x2029;
}

// Space separators (Unicode category Zs) and the tab; line ends were split off already.
bool isBlank(QChar c) {
    return c == QLatin1Char('\t') || c.category() == QChar::Separator_Space;
}

QString trimmedOfBlanks(QStringView line) {
    qsizetype first = 0;
    qsizetype end = line.size();
    while (first < end && isBlank(line[first])) {
        ++first;
    }
    while (end > first && isBlank(line[end - 1])) {
        --end;
    }
    return line.sliced(first, end - first).toString();
}

} // namespace

LegacyImporter::LegacyImporter(QString directory)
    : m_directory(std::move(directory)) {}

QString LegacyImporter::defaultDirectory() {
    const QStringList dataLocations = QStandardPaths::standardLocations(QStandardPaths::GenericDataLocation);
    const QString base = dataLocations.isEmpty() ? QDir::homePath() + QStringLiteral("/Application Support")
                                                 : dataLocations.first();
    return base + QLatin1Char('/') + folderName;
}

QString LegacyImporter::filePath() const {
    return m_directory + QLatin1Char('/') + fileName;
}

void LegacyImporter::importBlacklist() const {
    const std::optional<QStringList> paths = readBlacklist();
    if (!paths || paths->isEmpty()) {
        return;
    }
    Blacklist& blacklist = Blacklist::shared();
    for (const QString& path : *paths) {
        if (const AppPtr app = App::initWithPath(path)) {
            blacklist.block(app);
        }
    }
}

std::optional<QStringList> LegacyImporter::readBlacklist() const {
    // A folder, a device or a pipe named like the file is not the old list; reading a pipe could
    // also hang the start of the application.
    const QFileInfo info(filePath());
    if (!info.isFile() || info.size() > maximumFileSize) {
        return std::nullopt;
    }
    QFile file(info.filePath());
    if (!file.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    // The size may have changed since it was checked: never read more than the cap allows.
    const QByteArray bytes = file.read(maximumFileSize + 1);
    if (bytes.size() > maximumFileSize) {
        return std::nullopt;
    }
    // Stateless, so that a sequence cut off at the end of the file counts as invalid too.
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder.decode(bytes);
    if (decoder.hasError()) {
        return std::nullopt;
    }
    return splitLines(text);
}

QStringList LegacyImporter::splitLines(const QString& text) {
    QStringList lines;
    qsizetype start = 0;
    for (qsizetype i = 0; i <= text.size(); ++i) {
        if (i < text.size() && !isLineSeparator(text[i])) {
            continue;
        }
        QString line = trimmedOfBlanks(QStringView(text).sliced(start, i - start));
        if (!line.isEmpty()) {
            lines.append(std::move(line));
        }
        start = i + 1;
    }
    return lines;
}
