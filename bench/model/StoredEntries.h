// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QFile>
#include <QStringList>
#include <QTemporaryDir>
#include <unistd.h>

// The stored block list of the model benchmarks: half the entries are hard links to one real
// program in `programs` (distinct paths, real files to resolve), half are bare process names.
inline QStringList makeStoredEntries(const QTemporaryDir& programs, int count) {
    const QString original = programs.filePath(QStringLiteral("program"));
    QFile::copy(QStringLiteral("/bin/sleep"), original);
    QStringList identifiers;
    for (int i = 0; i < count; ++i) {
        if (i % 2 == 0) {
            const QString path = programs.filePath(QStringLiteral("program-%1").arg(i));
            ::link(QFile::encodeName(original).constData(), QFile::encodeName(path).constData());
            identifiers.append(path);
        } else {
            identifiers.append(QStringLiteral("process-%1").arg(i));
        }
    }
    return identifiers;
}
