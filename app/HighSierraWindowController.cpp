// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/HighSierraWindowController.h"

#include "app/HighSierraViewController.h"
#include "ui_highSierraWindowController.h"

HighSierraWindowController::HighSierraWindowController()
    : m_ui(std::make_unique<Ui::HighSierraWindowController>()) {}

HighSierraWindowController::~HighSierraWindowController() = default;

Window* HighSierraWindowController::loadWindow() {
    auto* window = new Window;
    m_ui->setupUi(window);
    window->setTitle(window->windowTitle());
    auto content = std::make_shared<HighSierraViewController>();
    content->setStoryboard(storyboard());
    window->setContentViewController(std::move(content));
    return window;
}

void HighSierraWindowController::windowDidLoad() {
    WindowController::windowDidLoad();
    Window* window = this->window();
    window->setTitleVisibility(Window::TitleVisibility::hidden);
    window->setMovableByWindowBackground(true);
    window->setTitlebarAppearsTransparent(true);
}
