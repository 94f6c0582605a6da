// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

// The uniform type identifiers of the fixed type table (see Workspace), one definition each.
namespace TypeIdentifiers {

inline const QString applicationBundle = QStringLiteral("com.apple.application-bundle");
inline const QString bundle = QStringLiteral("com.apple.bundle");
inline const QString executable = QStringLiteral("public.executable");
inline const QString folder = QStringLiteral("public.folder");
inline const QString data = QStringLiteral("public.data");

} // namespace TypeIdentifiers
