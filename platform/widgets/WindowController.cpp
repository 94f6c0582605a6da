// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/widgets/WindowController.h"

WindowController::WindowController(QObject* parent)
    : QObject(parent) {}

WindowController::~WindowController() {
    // The window lives as long as its controller; a window closed earlier has deleted itself.
    delete m_window.data();
}

Window* WindowController::window() {
    if (m_window || m_windowLoaded) {
        return m_window;
    }
    m_windowLoaded = true;
    m_window = loadWindow();
    if (!m_window) {
        return nullptr;
    }
    m_window->setAttribute(Qt::WA_DeleteOnClose);
    windowDidLoad();
    return m_window;
}

void WindowController::showWindow() {
    if (Window* shown = window()) {
        shown->makeKeyAndOrderFront();
    }
}

void WindowController::close() {
    if (m_window) {
        m_window->close();
    }
}

Window* WindowController::loadWindow() {
    return new Window;
}
