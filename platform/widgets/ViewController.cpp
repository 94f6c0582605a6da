// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/widgets/ViewController.h"

ViewController::ViewController(QObject* parent)
    : QObject(parent) {}

ViewController::~ViewController() {
    // A view that was put into a window, tab or popover belongs to that widget tree now.
    if (m_view && !m_view->parentWidget()) {
        delete m_view.data();
    }
}

QWidget* ViewController::view() {
    if (m_view) {
        return m_view;
    }
    // loadView() of a subclass may reach view() again (through a helper that wants the view);
    // it gets nothing rather than a second, half-built tree.
    if (m_loading) {
        return nullptr;
    }
    m_loading = true;
    m_view = loadView();
    m_loading = false;
    if (m_view) {
        viewDidLoad();
    }
    return m_view;
}
