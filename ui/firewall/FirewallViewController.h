// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "model/BlacklistSubscriber.h"
#include "model/BlockedApp.h"
#include "platform/widgets/TableView.h"
#include "platform/widgets/TableViewDataSource.h"
#include "platform/widgets/ViewController.h"

#include <QAbstractButton>
#include <QDateTime>
#include <QFileSystemWatcher>
#include <QHash>
#include <QLabel>
#include <QList>
#include <QPointer>
#include <QSet>
#include <QUrl>
#include <memory>

class FirewallTableCellView;
class QMenu;

namespace Ui {
class FirewallViewController;
}

// The firewall pane: the table of blocked applications, the on/off switch with its status text,
// the add control and the drop target around them. The table is filled once from the block list
// when the view loads and afterwards changes only when the block list reports a block or an
// unblock, whoever asked for it (this pane, a drop, the monitor, the first-run import). The
// firewall's on/off state lives only in the user defaults under "enableFirewall"; the switch stores
// it and the controller re-sends the block list to the filter, which reads it.
//
// Rows can be selected; Delete, or Remove in a row's context menu, unblocks the selected rows, again
// through the block list. Each row also says how many of the application's attempts to connect the
// filter refused since the application started, and when the last one was. While the firewall is off
// the list is drawn faded (its entries are kept, and can still be removed).
//
// The controller must be owned by a std::shared_ptr (the storyboard makes it so): it subscribes
// itself to the block list, whose subscriber list keeps it alive for good.
class FirewallViewController final : public ViewController,
                                     public TableViewDataSource,
                                     public BlacklistSubscriber,
                                     public std::enable_shared_from_this<FirewallViewController> {
    Q_OBJECT
public:
    // The storyboard identifier of the scene, and the column whose cells show the rows.
    static QString storyboardIdentifier();
    // Where the administrator's list files are read (/etc/quilvane/lists.d); tests point it elsewhere.
    static void setListsDirectory(const QString& directory);
    static QString appColumnIdentifier();

    explicit FirewallViewController(QObject* parent = nullptr);
    ~FirewallViewController() override;

    // Outlets, set when the view loads.
    TableView* tableView() const { return m_tableView; }
    QAbstractButton* onOffSwitch() const { return m_onOffSwitch; }
    QLabel* onOffStatusTextField() const { return m_onOffStatusTextField; }
    QAbstractButton* addApplicationButton() const { return m_addApplicationButton; }

    // The rows: row i shows items()[i].
    const QList<BlockedApp>& items() const { return m_items; }

    // TableViewDataSource
    int numberOfRowsInTableView(TableView* tableView) override;
    QWidget* viewForTableColumn(TableView* tableView, const TableColumn* column, int row) override;

    // BlacklistSubscriber
    void blacklistLoaded(const QList<AppPtr>& apps) override;
    void appBlocked(const AppPtr& app) override;
    void appUnblocked(const AppPtr& app) override;

    // Actions.
    void removeButtonClicked(QObject* sender);
    void onOffSwitchClicked(QObject* sender);
    void addApplicationClicked(QObject* sender);
    // Unblocks the applications of the selected rows (Delete, and Remove in the context menu).
    void removeSelectedRows();
    // The context menu of a row (its Remove acts on the selection, which holds the row); nullptr
    // outside the rows. The caller owns it.
    QMenu* menuForRow(int row);

    // The small line under a row's path: "3 refused, last 10:42:07", empty while none were refused.
    static QString refusedText(quint64 count, const QDateTime& last);

    // Asks for applications and programs with an open panel; empty when cancelled.
    QList<QUrl> chooseApplications();
    // Where the open panel starts: the desktop's applications folder.
    static QUrl applicationsDirectoryURL();

    void updateOnOffStatus();

protected:
    QWidget* loadView() override;
    void viewDidLoad() override;

private:
    int indexOfItem(const App& app) const;
    // The names the administrator's list files block for every process: rows after the user's own,
    // "set by the administrator", that no one can remove here. A folder the service would refuse
    // keeps the rows shown, as the service keeps the list in force.
    void readAdministratorLists();
    QWidget* administratorRow(FirewallTableCellView* cell, int index) const;
    void showRowMenu(int row, const QPoint& globalPosition);
    void refusedTallyChanged(const QString& identifierKey);
    void showRefusedTally(FirewallTableCellView* cell, const App& app) const;
    static QString executableOfKey(const QString& identifierKey);

    std::unique_ptr<Ui::FirewallViewController> m_ui;
    QPointer<TableView> m_tableView;
    QPointer<QAbstractButton> m_onOffSwitch;
    QPointer<QLabel> m_onOffStatusTextField;
    QPointer<QAbstractButton> m_addApplicationButton;
    QList<BlockedApp> m_items;
    QList<BlockedApp> m_administratorItems;
    QPointer<QFileSystemWatcher> m_listsWatcher;
    // The filter refuses by executable name, so a refused process may be known by another key than
    // the entry that blocked it (the program's path for a bare name, say): every key heard of, by the
    // executable name it runs.
    QHash<QString, QSet<QString>> m_refusedKeysByExecutable;
};
