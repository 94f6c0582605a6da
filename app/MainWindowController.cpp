// SPDX-License-Identifier: GPL-3.0-or-later
#include "resources/SceneIdentifiers.h"
#include "app/MainWindowController.h"

#include "app/MainViewController.h"
#include "app/NoticeBar.h"
#include "kernel/KextClient.h"
#include "platform/widgets/Storyboard.h"
#include "ui_mainWindowController.h"

#include <QBoxLayout>

MainWindowController::MainWindowController()
    : m_ui(std::make_unique<Ui::MainWindowController>()) {}

MainWindowController::~MainWindowController() = default;

Window* MainWindowController::loadWindow() {
    auto* window = new Window;
    m_ui->setupUi(window);
    window->setTitle(window->windowTitle());
    // Above whatever the content is (the panes or the error view), so that it is never covered.
    if (auto* layout = qobject_cast<QBoxLayout*>(window->layout())) {
        layout->insertWidget(0, new NoticeBar(window));
    }
    auto content = std::make_shared<MainViewController>();
    content->setStoryboard(storyboard());
    window->setContentViewController(std::move(content));
    return window;
}

void MainWindowController::windowDidLoad() {
    WindowController::windowDidLoad();
    Window* window = this->window();
    window->setMovableByWindowBackground(true);
    // The launch decision has already tried to connect; this only reads the outcome.
    if (KextClient::shared().socket() == 0) {
        showErrorViewController();
        return;
    }
    window->setTitlebarAppearsTransparent(true);
    window->setTitleVisibility(Window::TitleVisibility::hidden);
}

void MainWindowController::showErrorViewController() {
    Window* window = this->window();
    if (!window) {
        return;
    }
    std::shared_ptr<ViewController> errorView =
        storyboard() ? storyboard()->instantiate<ViewController>(SceneIdentifiers::errorViewController())
                     : nullptr;
    window->setContentViewController(std::move(errorView));
}
