// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/monitor/ConnectionsViewController.h"

#include "platform/widgets/Pasteboard.h"
#include "ui/monitor/ConnectionsTableModel.h"
#include "ui/monitor/HostNameDelegate.h"
#include "ui_connectionsViewController.h"

#include <QApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QScrollBar>
#include <QSortFilterProxyModel>
#include <QStyle>
#include <QTableView>
#include <algorithm>

ConnectionsViewController::ConnectionsViewController()
    : m_content(new ConnectionsTableModel(this))
    , m_arrayController(new QSortFilterProxyModel(this)) {
    m_arrayController->setSourceModel(m_content);
    m_arrayController->setSortRole(ConnectionsTableModel::SortRole);
    m_arrayController->setSortLocaleAware(true);
    m_arrayController->setSortCaseSensitivity(Qt::CaseInsensitive);
}

ConnectionsViewController::~ConnectionsViewController() {
    // The models go with this object; the table may live on a little longer inside its popover.
    if (m_tableView) {
        m_tableView->removeEventFilter(this);
        m_tableView->setModel(nullptr);
    }
}

QTableView* ConnectionsViewController::tableView() const {
    return m_tableView;
}

void ConnectionsViewController::setMonitoredApp(std::shared_ptr<MonitoredApp> monitoredApp) {
    m_monitoredApp = std::move(monitoredApp);
    m_content->setMonitoredApp(m_monitoredApp);
}

QWidget* ConnectionsViewController::loadView() {
    auto* view = new QWidget;
    m_ui = std::make_unique<Ui::ConnectionsViewController>();
    m_ui->setupUi(view);
    m_tableView = m_ui->tableView;
    m_tableView->setModel(m_arrayController);
    // Host names are the longest texts; the port column takes what is left.
    QHeaderView* header = m_tableView->horizontalHeader();
    header->resizeSection(static_cast<int>(ConnectionsTableModel::Column::time), 100);
    header->resizeSection(static_cast<int>(ConnectionsTableModel::Column::hostname), 210);
    m_tableView->setItemDelegateForColumn(static_cast<int>(ConnectionsTableModel::Column::hostname),
                                          new HostNameDelegate(m_tableView));
    // Rows keep their arrival order until the user picks a column to sort by.
    header->setSortIndicator(-1, Qt::AscendingOrder);
    m_tableView->setSortingEnabled(true);
    header->setSortIndicatorClearable(true);
    return view;
}

void ConnectionsViewController::viewDidLoad() {
    ViewController::viewDidLoad();
    // The table keeps the standard look whatever the popover around it uses.
    m_tableView->setPalette(QApplication::style()->standardPalette());
    m_tableView->installEventFilter(this);
    followTheLastRow();
}

// The scroll range grows only once the view has laid out the new rows, so whether to follow is
// decided before they arrive and carried out when the range has grown.
void ConnectionsViewController::followTheLastRow() {
    QScrollBar* bar = m_tableView->verticalScrollBar();
    connect(m_arrayController, &QAbstractItemModel::rowsAboutToBeInserted, this,
            [this, bar] { m_showsLastRow = bar->value() >= bar->maximum(); });
    connect(bar, &QScrollBar::valueChanged, this,
            [this, bar](int value) { m_showsLastRow = value >= bar->maximum(); });
    connect(bar, &QScrollBar::rangeChanged, this, [this, bar](int /*minimum*/, int maximum) {
        if (m_showsLastRow) {
            bar->setValue(maximum);
        }
    });
}

// The item view would otherwise copy only its current cell's text on the copy key.
bool ConnectionsViewController::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_tableView &&
        (event->type() == QEvent::KeyPress || event->type() == QEvent::ShortcutOverride)) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->matches(QKeySequence::Copy)) {
            if (event->type() == QEvent::KeyPress) {
                copy();
            }
            event->accept();
            return true;
        }
    }
    return ViewController::eventFilter(watched, event);
}

void ConnectionsViewController::copy(QObject*) {
    if (!m_tableView || !m_tableView->selectionModel()) {
        return;
    }
    QList<int> rows;
    const QModelIndexList selected = m_tableView->selectionModel()->selectedRows();
    rows.reserve(selected.size());
    for (const QModelIndex& index : selected) {
        rows.append(index.row());
    }
    std::sort(rows.begin(), rows.end());

    QStringList hostnames;
    hostnames.reserve(rows.size());
    for (int row : rows) {
        const QModelIndex source = m_arrayController->mapToSource(m_arrayController->index(row, 0));
        if (const ConnectionPtr connection = m_content->connectionAt(source.row())) {
            hostnames.append(connection->hostname());
        }
    }
    Pasteboard& pasteboard = Pasteboard::general();
    pasteboard.clearContents();
    if (!hostnames.isEmpty()) {
        pasteboard.writeObjects(hostnames);
    }
}
