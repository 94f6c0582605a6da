// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "platform/widgets/ViewController.h"

#include <memory>

class QTabWidget;

namespace Ui {
class MainViewController;
}

// The main window's normal content: a header with the logo and a tab view with the firewall pane
// (tab 0) and the network monitor pane (tab 1). The panes are made from the storyboard when the view
// loads, and this controller owns them for as long as it shows their views (the block list and the
// filter client hold them too, as their subscribers). A pane the storyboard cannot make leaves a
// note in its tab instead.
class MainViewController final : public ViewController {
    Q_OBJECT
    Q_PROPERTY(qint64 selectedTabIndex READ selectedTabIndex WRITE setSelectedTabIndex NOTIFY
                   selectedTabIndexChanged)
public:
    MainViewController();
    ~MainViewController() override;

    // The tab view; null until the view is loaded.
    QTabWidget* tabView() const;

    // The pane controllers installed in the two tabs; empty before the view loads or where the
    // storyboard could not make one.
    const std::shared_ptr<ViewController>& firewallViewController() const { return m_firewallViewController; }
    const std::shared_ptr<ViewController>& monitorViewController() const { return m_monitorViewController; }

    qint64 selectedTabIndex() const { return m_selectedTabIndex; }
    void setSelectedTabIndex(qint64 index);

Q_SIGNALS:
    void selectedTabIndexChanged(qint64 index);

protected:
    QWidget* loadView() override;
    void viewDidLoad() override;

private:
    std::shared_ptr<ViewController> installPane(int tabIndex, const QString& identifier,
                                                const QString& missingText);

    std::unique_ptr<Ui::MainViewController> m_ui;
    std::shared_ptr<ViewController> m_firewallViewController;
    std::shared_ptr<ViewController> m_monitorViewController;
    qint64 m_selectedTabIndex = 0;
};
