// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <QStringList>
#include <optional>

// Brings the block list of an older version into this one. The older version kept one path a line
// in the text file "blacklist" of its data folder; the import reads that file once and blocks every
// application a line names, skipping lines that name nothing that can be blocked. It neither changes
// nor removes the old file, prints nothing and shows nothing: a file that cannot be read means there
// is nothing to import.
class LegacyImporter final {
public:
    // Files larger than this are not a block list the older version could have written.
    static constexpr qint64 maximumFileSize = 16 * 1024 * 1024;

    explicit LegacyImporter(QString directory);

    // The older version's data folder: <generic data location>/Quilvane, usually
    // ~/.local/share/Quilvane; "<home>/Application Support/Quilvane" when there is no data location.
    static QString defaultDirectory();

    const QString& directory() const { return m_directory; }
    QString filePath() const;

    // Blocks every application the legacy file names, in file order, through the shared block list.
    void importBlacklist() const;
    // The paths in the legacy file, in file order; nothing when the file is absent, is not a regular
    // file, is larger than maximumFileSize or is not valid UTF-8.
    std::optional<QStringList> readBlacklist() const;

    // The non-empty lines of `text`, each trimmed of spaces and tabs, split at every line or paragraph
    // separator (so CR LF counts as one line end).
    static QStringList splitLines(const QString& text);

private:
    QString m_directory;
};
