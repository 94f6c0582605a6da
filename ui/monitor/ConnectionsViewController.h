// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "model/MonitoredApp.h"
#include "platform/widgets/ViewController.h"

#include <QPointer>
#include <memory>

class ConnectionsTableModel;
class QSortFilterProxyModel;
class QTableView;

namespace Ui {
class ConnectionsViewController;
}

// The content of the connections popover: a table of every connection of one monitored application
// (time, host, port), live while it is open, sortable by clicking a column title, with several rows
// selectable. Ctrl+C (the standard copy key) puts the host names of the selected rows on the general
// pasteboard, one item per row in displayed order. A fresh controller is made for every popover;
// `monitoredApp` is set before the view loads.
//
// A table scrolled to its last row stays there as new connections arrive, as a log does; scrolled
// anywhere else, it stays put.
//
// The content model follows the application's connections; the arranged model (a sort proxy over it)
// is what the table shows and what copy() reads, so copying follows the order on screen.
class ConnectionsViewController final : public ViewController {
    Q_OBJECT
public:
    ConnectionsViewController();
    ~ConnectionsViewController() override;

    const std::shared_ptr<MonitoredApp>& monitoredApp() const { return m_monitoredApp; }
    void setMonitoredApp(std::shared_ptr<MonitoredApp> monitoredApp);

    // Set when the view loads.
    QTableView* tableView() const;
    ConnectionsTableModel* contentModel() const { return m_content; }
    QSortFilterProxyModel* arrayController() const { return m_arrayController; }

    // Copies the selected rows' host names; with nothing selected the pasteboard is left empty.
    void copy(QObject* sender = nullptr);

protected:
    QWidget* loadView() override;
    void viewDidLoad() override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void followTheLastRow();

    std::unique_ptr<Ui::ConnectionsViewController> m_ui;
    ConnectionsTableModel* m_content;
    QSortFilterProxyModel* m_arrayController;
    QPointer<QTableView> m_tableView;
    std::shared_ptr<MonitoredApp> m_monitoredApp;
    // Whether the table showed its last row when rows were last about to arrive.
    bool m_showsLastRow = false;
};
