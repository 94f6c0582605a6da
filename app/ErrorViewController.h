#pragma once

#include "platform/widgets/ViewController.h"

#include <memory>

namespace Ui {
class ErrorViewController;
}

// The main window's content when the filter service cannot be reached: what went wrong, and one
// button that opens the update page to get a version with a matching service.
class ErrorViewController final : public ViewController {
    Q_OBJECT
public:
    ErrorViewController();
    ~ErrorViewController() override;

    void downloadButtonClicked();

protected:
    QWidget* loadView() override;

private:
    std::unique_ptr<Ui::ErrorViewController> m_ui;
};
