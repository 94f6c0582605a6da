// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QPointer>
#include <QString>
#include <QUrl>
#include <optional>

class QMessageBox;

// The update page on the maker's web site, shared by the check-for-updates menu item and the error
// view's download button: its address names this version and the running system so that the page
// can offer the right download.

// The application's version (QCoreApplication::applicationVersion), or "unknown" when it has none.
QString appVersionString();
// The running system's version as "major.minor.patch".
QString osVersionString();
// https://quilvaneapp.com/update?version=<appVersionString>&os=<osVersionString>, the parts joined as
// they are; nothing when that text is not a valid address.
std::optional<QUrl> updatePageURL();
// Opens the update page in the user's browser; does nothing when there is no valid address. When no
// browser can be opened it says so in a notice, over the front window, that shows the address to
// copy, and answers that notice.
QPointer<QMessageBox> openUpdatePage();
