// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "kernel/TrafficSubscriber.h"
#include "model/BlacklistSubscriber.h"
#include "model/MonitoredApp.h"
#include "platform/widgets/TableViewDataSource.h"
#include "platform/widgets/ViewController.h"

#include <QHash>
#include <QList>
#include <QPointer>
#include <QString>
#include <chrono>
#include <functional>
#include <memory>

class QLabel;
class Popover;
class QMenu;
class QPushButton;
class QTimer;
class TableView;

namespace Ui {
class MonitorViewController;
}

// The network monitor pane: one row per application that made a connection in the current
// monitoring period, in the order of each application's first connection, with its icon, name,
// path, connection count and a block button; below the table a status line ("CONNECTIONS IN THE LAST
// 5 MINUTES", refreshed once a second) and a Clear button that starts a new period.
//
// It hears of connections as a traffic subscriber of the filter client and of blocks as a subscriber
// of the block list; both subscriptions are made when the view loads and hold the controller for the
// rest of the process, so it must be owned by a std::shared_ptr (as the storyboard makes it). A
// connection never reloads the table: a known application's row only has its count button retitled
// when that row is on screen, and a new application is one faded-in row at the bottom. Blocking goes
// through the block list, whose appBlocked() then removes the row. Main thread only.
class MonitorViewController final : public ViewController,
                                    public TableViewDataSource,
                                    public BlacklistSubscriber,
                                    public TrafficSubscriber,
                                    public std::enable_shared_from_this<MonitorViewController> {
    Q_OBJECT
public:
    // The identifier of the table's one column and of its cell prototype.
    static const QString cellIdentifier;

    MonitorViewController();
    ~MonitorViewController() override;

    // Outlets, set when the view loads.
    TableView* tableView() const;
    QLabel* statusTextField() const;
    QPushButton* clearButton() const;

    const QList<std::shared_ptr<MonitoredApp>>& items() const { return m_items; }

    // TableViewDataSource
    int numberOfRowsInTableView(TableView* tableView) override;
    QWidget* viewForTableColumn(TableView* tableView, const TableColumn* column, int row) override;

    // Actions. The row actions do nothing unless `sender` lies inside a row of the table.
    void clearButtonClicked(QObject* sender = nullptr);
    void inspectButtonClicked(QWidget* sender);
    void blockButtonClicked(QWidget* sender);
    void updateStatus();

    // The context menu of a row: Block, Show Connections and Copy Host (the host names the
    // application connected to, each once, in the order first seen). nullptr outside the rows; the
    // caller owns it.
    QMenu* menuForRow(int row);

    // TrafficSubscriber
    void connectionMade(const ConnectionPtr& connection, const AppPtr& app) override;

    // BlacklistSubscriber
    void appBlocked(const AppPtr& app) override;
    void appUnblocked(const AppPtr& app) override;
    void blacklistLoaded(const QList<AppPtr>& apps) override;

    // The monotonic clock that measures the monitoring period; tests replace it to let hours pass.
    using Clock = std::function<std::chrono::milliseconds()>;
    void setClock(Clock clock);

protected:
    QWidget* loadView() override;
    void viewDidLoad() override;

private:
    void placePopover(Popover* popover, QWidget* button, int row);
    QWidget* makeCellView();
    void startMonitoringPeriod();
    int rowOfApp(const App& app) const;
    void appendItem(std::shared_ptr<MonitoredApp> item);
    void removeItem(int row);
    int rowForSender(const QWidget* sender) const;
    void showRowMenu(int row, const QPoint& globalPosition);
    void copyHostsOfRow(int row);

    std::unique_ptr<Ui::MonitorViewController> m_ui;
    QPointer<TableView> m_tableView;
    QPointer<QLabel> m_statusTextField;
    QList<std::shared_ptr<MonitoredApp>> m_items;
    // Row of each listed application by identifier in composed Unicode form, so that equivalent
    // spellings find the same row. Kept in step with m_items.
    QHash<QString, int> m_rowByIdentifier;
    QTimer* m_monitorTimer = nullptr;
    Clock m_clock;
    std::chrono::milliseconds m_monitorStartDate;
};
