// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/monitor/MonitorViewController.h"

#include "kernel/Connection.h"
#include "kernel/KextClient.h"
#include "model/Blacklist.h"
#include "platform/widgets/Pasteboard.h"
#include "platform/widgets/Popover.h"
#include "platform/widgets/Storyboard.h"
#include "platform/widgets/SystemFont.h"
#include "platform/widgets/TableView.h"
#include "resources/SceneIdentifiers.h"
#include "ui/monitor/ConnectionsViewController.h"
#include "ui/monitor/DurationFormatter.h"
#include "ui/monitor/MonitorTableCellView.h"
#include "ui_monitorViewController.h"

#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QSet>
#include <QTimer>

namespace {

constexpr int rowHeight = 48;
constexpr int iconSize = 32;

std::chrono::milliseconds steadyNow() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
}

} // namespace

const QString MonitorViewController::cellIdentifier = QStringLiteral("MonitorCell");

MonitorViewController::MonitorViewController()
    : m_clock(steadyNow)
    , m_monitorStartDate(m_clock()) {}

MonitorViewController::~MonitorViewController() {
    // The table outlives this part of the object (the base class deletes the view), so it must not
    // ask a half-destroyed data source for cells.
    if (m_tableView) {
        m_tableView->setDataSource(nullptr);
    }
}

TableView* MonitorViewController::tableView() const {
    return m_tableView;
}

QLabel* MonitorViewController::statusTextField() const {
    return m_statusTextField;
}

QPushButton* MonitorViewController::clearButton() const {
    return m_ui ? m_ui->clearButton : nullptr;
}

QWidget* MonitorViewController::loadView() {
    auto* view = new QWidget;
    m_ui = std::make_unique<Ui::MonitorViewController>();
    m_ui->setupUi(view);
    m_tableView = m_ui->tableView;
    m_statusTextField = m_ui->statusTextField;

    // One untitled column: the rows speak for themselves, so the table shows no header.
    m_tableView->addTableColumn(cellIdentifier, QString(), 560);
    m_tableView->registerCellPrototype(cellIdentifier, [this] { return makeCellView(); });
    m_tableView->setRowHeight(rowHeight);
    m_tableView->setDataSource(this);
    connect(m_tableView, &TableView::rowMenuRequested, this, &MonitorViewController::showRowMenu);
    connect(m_ui->clearButton, &QPushButton::clicked, this,
            [this] { clearButtonClicked(m_ui->clearButton); });
    return view;
}

// Cells are recycled by the table, so their buttons are wired once, here, and each click names the
// button itself as the sender; the row is looked up when the click happens.
QWidget* MonitorViewController::makeCellView() {
    auto* cell = new MonitorTableCellView;
    cell->textField()->setFont(SystemFont::rowName());
    QPushButton* inspect = cell->inspectButton();
    QPushButton* block = cell->blockButton();
    connect(inspect, &QPushButton::clicked, this, [this, inspect] { inspectButtonClicked(inspect); });
    connect(block, &QPushButton::clicked, this, [this, block] { blockButtonClicked(block); });
    return cell;
}

void MonitorViewController::viewDidLoad() {
    ViewController::viewDidLoad();
    // Subscriber lists keep their subscribers; a controller that is not shared cannot be kept and
    // so is not subscribed (it still works when called directly).
    if (const std::shared_ptr<MonitorViewController> self = weak_from_this().lock()) {
        Blacklist& blacklist = Blacklist::shared();
        blacklist.addSubscriber(self);
        blacklistLoaded(blacklist.apps());
        KextClient::shared().addSubscriber(self);
    }
    startMonitoringPeriod();
}

void MonitorViewController::setClock(Clock clock) {
    m_clock = clock ? std::move(clock) : Clock(steadyNow);
}

void MonitorViewController::startMonitoringPeriod() {
    if (!m_monitorTimer) {
        m_monitorTimer = new QTimer(this);
        connect(m_monitorTimer, &QTimer::timeout, this, &MonitorViewController::updateStatus);
    }
    m_monitorTimer->start(std::chrono::seconds(1));
    m_monitorStartDate = m_clock();
    updateStatus();
}

void MonitorViewController::updateStatus() {
    if (!m_statusTextField) {
        return;
    }
    const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(m_clock() - m_monitorStartDate);
    const QLocale locale;
    const std::optional<QString> interval = DurationFormatter(locale).stringFromTimeInterval(elapsed.count());
    if (!interval) {
        return;
    }
    // The fixed words are not translated, so they are upper-cased without a locale (a Turkish one
    // would dot the I's); only the interval is in the user's language and follows its rules.
    m_statusTextField->setText(QStringLiteral("Connections in the last ").toUpper() +
                               locale.toUpper(*interval));
}

int MonitorViewController::numberOfRowsInTableView(TableView*) {
    return static_cast<int>(m_items.size());
}

QWidget* MonitorViewController::viewForTableColumn(TableView* tableView, const TableColumn* column, int row) {
    if (!tableView || !column || row < 0 || row >= m_items.size()) {
        return nullptr;
    }
    auto* cell =
        qobject_cast<MonitorTableCellView*>(tableView->makeViewWithIdentifier(column->identifier(), this));
    if (!cell) {
        return nullptr;
    }
    const MonitoredApp& item = *m_items.at(row);
    cell->imageView()->setPixmap(item.icon().isNull() ? QPixmap() : item.icon().pixmap(iconSize, iconSize));
    cell->textField()->setText(item.app()->name());
    cell->infoTextField()->setText(item.info());
    cell->inspectButton()->setText(QString::number(item.totalConnectionCount()));
    return cell;
}

// A busy machine reports thousands of connections a second over hundreds of applications; a hash
// keeps finding the row constant-time where comparing identifiers row by row would not. There is at
// most one row per identifier, so the hash finds the same row a search from the top would.
int MonitorViewController::rowOfApp(const App& app) const {
    return m_rowByIdentifier.value(app.identifierKey(), -1);
}

void MonitorViewController::appendItem(std::shared_ptr<MonitoredApp> item) {
    m_rowByIdentifier.insert(item->app()->identifierKey(), static_cast<int>(m_items.size()));
    m_items.append(std::move(item));
}

void MonitorViewController::removeItem(int row) {
    m_rowByIdentifier.remove(m_items.at(row)->app()->identifierKey());
    m_items.removeAt(row);
    for (int& later : m_rowByIdentifier) {
        if (later > row) {
            --later;
        }
    }
}

int MonitorViewController::rowForSender(const QWidget* sender) const {
    if (!sender || !m_tableView) {
        return -1;
    }
    const int row = m_tableView->rowForView(sender);
    return row >= 0 && row < m_items.size() ? row : -1;
}

void MonitorViewController::connectionMade(const ConnectionPtr& connection, const AppPtr& app) {
    if (!connection || !app) {
        return;
    }
    const int row = rowOfApp(*app);
    if (row >= 0) {
        MonitoredApp& item = *m_items.at(row);
        item.addConnection(connection);
        if (!m_tableView) {
            return;
        }
        if (auto* cell = qobject_cast<MonitorTableCellView*>(m_tableView->viewAtColumn(0, row, false))) {
            cell->inspectButton()->setText(QString::number(item.totalConnectionCount()));
        }
        return;
    }
    appendItem(std::make_shared<MonitoredApp>(app, QList<ConnectionPtr>{connection}));
    if (m_tableView) {
        m_tableView->insertRow(static_cast<int>(m_items.size()) - 1, TableView::Animation::fade);
    }
}

void MonitorViewController::clearButtonClicked(QObject*) {
    m_items.clear();
    m_rowByIdentifier.clear();
    if (m_tableView) {
        m_tableView->reloadData();
    }
    startMonitoringPeriod();
}

void MonitorViewController::inspectButtonClicked(QWidget* sender) {
    const int row = rowForSender(sender);
    if (row < 0 || !storyboard()) {
        return;
    }
    auto controller =
        storyboard()->instantiate<ConnectionsViewController>(SceneIdentifiers::connectionsViewController());
    if (!controller) {
        return;
    }
    controller->setMonitoredApp(m_items.at(row));
    // The popover owns its content and deletes itself when it closes; its parent only bounds its
    // life by the window's.
    auto* popover = new Popover(sender->window());
    popover->setBehavior(Popover::Behavior::transient);
    popover->setContentViewController(std::move(controller));
    placePopover(popover, sender, row);
}

// Beside the row's buttons, right of them, where it covers neither the row's own name and path nor
// the buttons of the rows underneath; where the screen has no room there, below the row's buttons,
// which still leaves the row's own text in view.
void MonitorViewController::placePopover(Popover* popover, QWidget* button, int row) {
    auto* cell = qobject_cast<MonitorTableCellView*>(m_tableView->viewAtColumn(0, row, false));
    if (!cell || !cell->isAncestorOf(button)) {
        popover->showRelativeToRect(QRect(), button, Popover::RectEdge::maxX);
        return;
    }
    const QPoint buttonInCell = button->mapTo(cell, QPoint(0, 0));
    const QRect buttons(0, -buttonInCell.y(), cell->width() - buttonInCell.x(), cell->height());
    const auto inGlobal = [](const QWidget* widget) {
        return QRect(widget->mapToGlobal(QPoint(0, 0)), widget->size());
    };
    const QRect text = inGlobal(cell->textField()).united(inGlobal(cell->infoTextField()));
    popover->showRelativeToRect(buttons, button, Popover::RectEdge::maxX);
    if (popover->frameGeometry().intersects(text)) {
        popover->showRelativeToRect(buttons, button, Popover::RectEdge::maxY);
    }
}

void MonitorViewController::blockButtonClicked(QWidget* sender) {
    const int row = rowForSender(sender);
    if (row < 0) {
        return;
    }
    // The row stays until the block list answers with appBlocked().
    Blacklist::shared().block(m_items.at(row)->app());
}

QMenu* MonitorViewController::menuForRow(int row) {
    if (!m_tableView || row < 0 || row >= m_items.size()) {
        return nullptr;
    }
    auto* menu = new QMenu;
    const AppPtr app = m_items.at(row)->app();
    // The row is looked up again when an item is chosen: rows may have come or gone meanwhile.
    menu->addAction(tr("Block"), this, [app] { Blacklist::shared().block(app); });
    menu->addAction(tr("Show Connections"), this, [this, app] {
        const int current = rowOfApp(*app);
        if (current < 0) {
            return;
        }
        // A menu opened from the keyboard may belong to a row scrolled out of view, which has no
        // cell: bring it into view, so that the popover has its button to sit beside.
        m_tableView->scrollRowToVisible(current);
        auto* cell = qobject_cast<MonitorTableCellView*>(m_tableView->viewAtColumn(0, current, true));
        if (cell) {
            inspectButtonClicked(cell->inspectButton());
        }
    });
    menu->addAction(tr("Copy Host"), this, [this, app] { copyHostsOfRow(rowOfApp(*app)); });
    return menu;
}

void MonitorViewController::showRowMenu(int row, const QPoint& globalPosition) {
    if (QMenu* menu = menuForRow(row)) {
        menu->setAttribute(Qt::WA_DeleteOnClose);
        menu->popup(globalPosition);
    }
}

void MonitorViewController::copyHostsOfRow(int row) {
    if (row < 0 || row >= m_items.size()) {
        return;
    }
    QStringList hosts;
    QSet<QString> seen;
    for (const ConnectionPtr& connection : m_items.at(row)->connections()) {
        const QString& host = connection->hostname();
        if (!host.isEmpty() && !seen.contains(host)) {
            seen.insert(host);
            hosts.append(host);
        }
    }
    Pasteboard& pasteboard = Pasteboard::general();
    pasteboard.clearContents();
    if (!hosts.isEmpty()) {
        pasteboard.writeObjects(hosts);
    }
}

void MonitorViewController::appBlocked(const AppPtr& app) {
    if (!app) {
        return;
    }
    const int row = rowOfApp(*app);
    if (row < 0) {
        return;
    }
    removeItem(row);
    if (m_tableView) {
        m_tableView->removeRow(row, TableView::Animation::fade);
    }
}

void MonitorViewController::appUnblocked(const AppPtr&) {}

void MonitorViewController::blacklistLoaded(const QList<AppPtr>&) {}
