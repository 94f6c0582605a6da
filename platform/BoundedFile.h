// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

// Reads a small file that a package names (a bundle's Info.plist, a desktop entry, a flatpak's
// metadata, a snap's snap.yaml) without trusting what lies at that path. A package is anyone's
// folder: its "file" may be a FIFO, which would block open() until a writer comes, or a link to
// /dev/zero, whose stat size of 0 says nothing about how much it yields. So only a regular file is
// read (links followed, checked on the opened descriptor), the open never waits, and no more than
// `cap` bytes are ever read, whatever the file claims.
class BoundedFile final {
public:
    BoundedFile() = delete;

    // Far above any real package file (a few kilobytes), far below what would hurt to hold.
    static constexpr qint64 defaultCap = 1024 * 1024;

    // The whole file; nothing when it is no regular file, cannot be read or is longer than `cap`.
    static std::optional<QByteArray> read(const QString& path, qint64 cap = defaultCap);
};
