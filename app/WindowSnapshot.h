// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

class QWidget;

// Pictures of the application's windows for people who run it without a screen (under Xvfb in
// demos and documentation): the front window's contents, rendered by Qt itself, saved as PNG.
class WindowSnapshot final {
public:
    WindowSnapshot() = delete;

    // The active window if there is one, else the visible top-level window shown last; null when
    // no window is visible.
    static QWidget* frontWindow();
    // Saves a picture of `window` to `path`; an error message fit for the terminal, or empty.
    static QString save(QWidget* window, const QString& path);
};
