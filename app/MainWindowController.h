// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "platform/widgets/WindowController.h"

#include <memory>

namespace Ui {
class MainWindowController;
}

// The application's one ordinary window. Its content is the main view with the two panes; when the
// filter service was not reachable at launch, the error view replaces it for the life of the window.
// Above the content, a notice bar says what the user must know that no pane shows (NoticeBar).
// With the panes shown, the title bar is transparent and the title hidden, so the header reads as
// part of the window; the window can always be dragged by its background.
class MainWindowController final : public WindowController {
    Q_OBJECT
public:
    MainWindowController();
    ~MainWindowController() override;

    // Replaces the window's content with the storyboard's "errorViewController" (an empty window
    // when the storyboard cannot make it).
    void showErrorViewController();

protected:
    Window* loadWindow() override;
    void windowDidLoad() override;

private:
    std::unique_ptr<Ui::MainWindowController> m_ui;
};
