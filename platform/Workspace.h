// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QIcon>
#include <QString>
#include <QUrl>
#include <functional>
#include <optional>

// File types, file icons and opening addresses, as the desktop workspace offers them. Types are
// uniform type identifiers from a small fixed table:
//   "com.apple.application-bundle"  a bundle directory named X.app
//   "com.apple.bundle"              another directory with Contents/Info.plist
//   "org.freedesktop.desktop-entry" a *.desktop file
//   "public.executable"             a regular file with an execute bit that is ELF or a "#!" script
//   "public.folder"                 any other directory
//   "public.data"                   anything else
// Application bundles and desktop entries conform to "com.apple.bundle" and "public.executable";
// every type conforms to itself and to "public.item". Thread-safe.
class Workspace final {
public:
    Workspace() = delete;

    // The type of the item at `path` (symbolic links followed); absent when nothing is there.
    static std::optional<QString> typeOfFile(const QString& path);
    static bool typeConformsToType(const QString& type, const QString& conformsToType);

    // The bundle's or desktop entry's own icon where it has one, else the desktop's icon for the
    // file's kind. Where the desktop has none (no icon theme, say), an image of our own: a generic
    // application for bundles and desktop entries, the process image for anything else. Null only
    // when the application's images are not linked in.
    static QIcon iconForFile(const QString& path);

    // Opens the address with the user's preferred handler; false when none took it.
    static bool openURL(const QUrl& url);
    // Tests: replace the handler that openURL() calls (an empty function restores the desktop's).
    static void setUrlOpener(std::function<bool(const QUrl&)> opener);
};
