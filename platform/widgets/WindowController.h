// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "platform/widgets/Window.h"

#include <QObject>
#include <QPointer>

class Storyboard;

// Base of window controllers: window() builds the Window on first use through loadWindow() and then
// calls windowDidLoad() exactly once. Created by a Storyboard, shared with std::shared_ptr.
class WindowController : public QObject {
    Q_OBJECT
public:
    explicit WindowController(QObject* parent = nullptr);
    ~WindowController() override;

    // Loads the window on first use; nullptr once the window has been closed and deleted.
    Window* window();
    bool isWindowLoaded() const { return !m_window.isNull(); }

    Storyboard* storyboard() const { return m_storyboard; }
    void setStoryboard(Storyboard* storyboard) { m_storyboard = storyboard; }

    // Shows the window and brings it to the front.
    void showWindow();
    // Closes the window (the application quits when its last window closes).
    void close();

protected:
    // Builds the window with its normal content. The default makes an empty Window.
    virtual Window* loadWindow();
    virtual void windowDidLoad() {}

private:
    QPointer<Window> m_window;
    Storyboard* m_storyboard = nullptr;
    // Set once loadWindow() has run, so that a closed window is not silently rebuilt.
    bool m_windowLoaded = false;
};
