// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

// The storyboard identifiers of the application's scenes, each a form under resources/. One
// definition each: a mistyped identifier is a window that never appears.
namespace SceneIdentifiers {

inline QString mainWindowController() { return QStringLiteral("mainWindowController"); }
inline QString highSierraWindowController() { return QStringLiteral("highSierraWindowController"); }
inline QString errorViewController() { return QStringLiteral("errorViewController"); }
inline QString firewallViewController() { return QStringLiteral("firewallViewController"); }
inline QString monitorViewController() { return QStringLiteral("monitorViewController"); }
inline QString connectionsViewController() { return QStringLiteral("connectionsViewController"); }

} // namespace SceneIdentifiers
