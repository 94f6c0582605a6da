// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "app/FilterServiceStatus.h"
#include "platform/widgets/ViewController.h"

#include <memory>

namespace Ui {
class ErrorViewController;
}

// The main window's content when the filter service cannot be used: what is true (not installed,
// not running, not letting this user in, or answering but not this version) and what helps: the
// command to run, selectable and with a Copy button, or, for a service of another version, a button
// that opens the update page to get a version with a matching service.
class ErrorViewController final : public ViewController {
    Q_OBJECT
public:
    ErrorViewController();
    ~ErrorViewController() override;

    void downloadButtonClicked();
    void copyButtonClicked();
    // Shows the texts for `state`; the view shows what a look at the service finds when it loads.
    void showServiceState(FilterServiceStatus::State state);
    QString title() const;
    QString message() const;
    QString command() const;

protected:
    QWidget* loadView() override;

private:
    std::unique_ptr<Ui::ErrorViewController> m_ui;
};
