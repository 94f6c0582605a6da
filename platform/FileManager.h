// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

// What the file manager tells the rest of the program about an item on disk: whether anything
// exists at a path (symbolic links followed, so a dangling link counts as nothing) and the name the
// desktop shows for it. Stateless and safe to call from any thread.
class FileManager final {
public:
    FileManager() = delete;

    static bool fileExistsAtPath(const QString& path);
    // A desktop entry's localised Name=; otherwise the last path component with a bundle's ".app"
    // extension hidden.
    static QString displayNameAtPath(const QString& path);
};
