// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <QStringList>

// The rules that turn the block list's executable names into the names the filter blocks: an
// executable that is known to hand its networking to helper processes brings those helpers along,
// and the result is free of duplicates and sorted, so the same block list always sends the same
// bytes.

// The helper processes that do the networking of `executable` (exact, case-sensitive match).
QStringList companionProcesses(const QString& executable);

// All executables followed by their companions, without duplicates, sorted ascending: two ASCII
// names by byte order (upper case before lower case, a prefix first), any other pair by the root
// locale's Unicode collation.
QStringList filterNames(const QStringList& executables);
