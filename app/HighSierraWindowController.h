// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "platform/widgets/WindowController.h"

#include <memory>

namespace Ui {
class HighSierraWindowController;
}

// The window of the start-up guide (HighSierraViewController): a hidden title and a transparent
// title bar, movable by its background.
class HighSierraWindowController final : public WindowController {
    Q_OBJECT
public:
    HighSierraWindowController();
    ~HighSierraWindowController() override;

protected:
    Window* loadWindow() override;
    void windowDidLoad() override;

private:
    std::unique_ptr<Ui::HighSierraWindowController> m_ui;
};
