// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/firewall/FirewallViewController.h"

#include "kernel/Connection.h"
#include "kernel/KextClient.h"
#include "model/Blacklist.h"
#include "model/ListEnforcement.h"
#include "model/RefusedAttempts.h"
#include "model/SettingsKeys.h"
#include "platform/TypeIdentifiers.h"
#include "platform/UserDefaults.h"
#include "platform/widgets/OpenPanel.h"
#include "platform/widgets/SystemFont.h"
#include "platform/widgets/TableColumn.h"
#include "platform/widgets/TableView.h"
#include "resources/SceneIdentifiers.h"
#include "ui/firewall/BlockByPath.h"
#include "ui/firewall/DefaultsSwitchBinding.h"
#include "ui/firewall/FirewallTableCellView.h"
#include "ui/firewall/FirewallView.h"
#include "ui_firewallViewController.h"
#include "wire/ListFolder.h"

#include <QFileInfo>
#include <QLabel>
#include <QLocale>
#include <QMenu>
#include <QtGlobal>

namespace {

constexpr int iconExtent = 32;
// Three lines of text beside a 32-pixel icon: name, path and the refused attempts.
constexpr int rowHeight = 58;

} // namespace

QString FirewallViewController::storyboardIdentifier() {
    return SceneIdentifiers::firewallViewController();
}

QString FirewallViewController::appColumnIdentifier() {
    return QStringLiteral("FirewallTableCellView");
}

FirewallViewController::FirewallViewController(QObject* parent)
    : ViewController(parent) {}

FirewallViewController::~FirewallViewController() = default;

QWidget* FirewallViewController::loadView() {
    auto* view = new FirewallView;
    m_ui = std::make_unique<Ui::FirewallViewController>();
    m_ui->setupUi(view);
    m_tableView = m_ui->tableView;
    m_onOffSwitch = m_ui->onOffSwitch;
    m_onOffStatusTextField = m_ui->onOffStatusTextField;
    m_addApplicationButton = m_ui->addApplicationButton;

    m_tableView->addTableColumn(appColumnIdentifier(), tr("Blocked applications"), 480);
    m_tableView->setRowHeight(rowHeight);
    m_tableView->registerCellPrototype(appColumnIdentifier(), [this]() -> QWidget* {
        auto* cell = new FirewallTableCellView;
        QAbstractButton* removeButton = cell->removeButton();
        connect(removeButton, &QAbstractButton::clicked, this,
                [this, removeButton] { removeButtonClicked(removeButton); });
        return cell;
    });
    m_tableView->setDataSource(this);
    connect(m_tableView, &TableView::deleteKeyPressed, this, &FirewallViewController::removeSelectedRows);
    connect(m_tableView, &TableView::rowMenuRequested, this, &FirewallViewController::showRowMenu);
    connect(&RefusedAttempts::shared(), &RefusedAttempts::tallyChanged, this,
            &FirewallViewController::refusedTallyChanged);
    // The shared state outlives any pane: the connection lives as long as the pane's widgets.
    connect(&ListEnforcement::shared(), &ListEnforcement::changed, m_tableView, [this] {
        updateOnOffStatus();
        m_tableView->reloadData();
    });

    // The binding must be connected before the action: the action reads the value the switch
    // has just stored.
    new DefaultsSwitchBinding(m_onOffSwitch, SettingsKeys::enableFirewall);
    connect(m_onOffSwitch, &QAbstractButton::clicked, this, [this] { onOffSwitchClicked(m_onOffSwitch); });
    connect(m_addApplicationButton, &QAbstractButton::clicked, this,
            [this] { addApplicationClicked(m_addApplicationButton); });
    return view;
}

void FirewallViewController::viewDidLoad() {
    ViewController::viewDidLoad();
    const std::shared_ptr<FirewallViewController> self = weak_from_this().lock();
    if (!self) {
        qFatal("FirewallViewController must be owned by a std::shared_ptr to subscribe to the block list");
    }
    Blacklist& blacklist = Blacklist::shared();
    blacklist.addSubscriber(self);
    blacklistLoaded(blacklist.apps());
    m_listsWatcher = new QFileSystemWatcher(this);
    connect(m_listsWatcher, &QFileSystemWatcher::directoryChanged, this,
            &FirewallViewController::readAdministratorLists);
    connect(m_listsWatcher, &QFileSystemWatcher::fileChanged, this,
            &FirewallViewController::readAdministratorLists);
    readAdministratorLists();
    updateOnOffStatus();
}

int FirewallViewController::numberOfRowsInTableView(TableView* /*tableView*/) {
    return static_cast<int>(m_items.size() + m_administratorItems.size());
}

namespace {

QString& listsDirectory() {
    static QString directory = QString::fromLatin1(Quilvane::Wire::kListsDirectory);
    return directory;
}

} // namespace

void FirewallViewController::setListsDirectory(const QString& directory) {
    listsDirectory() = directory;
}

void FirewallViewController::readAdministratorLists() {
    // Only root's files count, as for the service.
    const auto folder = Quilvane::Wire::ListFolder::read(listsDirectory().toStdString(), 0);
    if (!folder.valid()) {
        return;
    }
    if (m_listsWatcher) {
        // Editors write in place, configuration tools rename: the files and the folder both.
        m_listsWatcher->addPath(listsDirectory());
        for (const std::string& file : folder.files()) {
            m_listsWatcher->addPath(QString::fromStdString(file));
        }
    }
    QList<BlockedApp> items;
    for (const std::string& name : folder.names()) {
        items.append(BlockedApp(App::initWithIdentifier(QString::fromStdString(name))));
    }
    m_administratorItems = std::move(items);
    if (m_tableView) {
        m_tableView->reloadData();
    }
}

QWidget* FirewallViewController::administratorRow(FirewallTableCellView* cell, int index) const {
    const BlockedApp& item = m_administratorItems.at(index);
    cell->imageView()->setPixmap(item.icon().isNull() ? QPixmap() : item.icon().pixmap(iconExtent));
    cell->textField()->setText(item.app()->name());
    cell->textField()->setFont(SystemFont::rowName());
    cell->infoTextField()->setText(tr("Set by the administrator"));
    cell->removeButton()->setVisible(false);
    showRefusedTally(cell, *item.app());
    return cell;
}

QWidget* FirewallViewController::viewForTableColumn(TableView* tableView, const TableColumn* column,
                                                    int row) {
    if (row < 0 || column == nullptr || row >= m_items.size() + m_administratorItems.size()) {
        return nullptr;
    }
    auto* cell =
        qobject_cast<FirewallTableCellView*>(tableView->makeViewWithIdentifier(column->identifier(), this));
    if (cell == nullptr) {
        return nullptr;
    }
    // Cells are reused: imageView's drop setting first, then the row's own state.
    cell->imageView()->setAcceptDrops(false);
    if (row >= m_items.size()) {
        return administratorRow(cell, row - static_cast<int>(m_items.size()));
    }
    cell->removeButton()->setVisible(true);
    const BlockedApp& item = m_items.at(row);
    // Drops over a row's icon belong to the pane's drop target.
    cell->imageView()->setAcceptDrops(false);
    cell->imageView()->setPixmap(item.icon().isNull() ? QPixmap() : item.icon().pixmap(iconExtent));
    cell->textField()->setText(item.app()->name());
    cell->textField()->setFont(SystemFont::rowName());
    cell->infoTextField()->setText(item.info());
    showRefusedTally(cell, *item.app());
    return cell;
}

void FirewallViewController::blacklistLoaded(const QList<AppPtr>& apps) {
    QList<BlockedApp> items;
    items.reserve(apps.size());
    for (const AppPtr& app : apps) {
        items.append(BlockedApp(app));
    }
    m_items = std::move(items);
    if (m_tableView) {
        m_tableView->reloadData();
    }
}

void FirewallViewController::appBlocked(const AppPtr& app) {
    if (indexOfItem(*app) >= 0) {
        return;
    }
    m_items.append(BlockedApp(app));
    if (m_tableView) {
        m_tableView->insertRow(static_cast<int>(m_items.size()) - 1, TableView::Animation::fade);
    }
}

void FirewallViewController::appUnblocked(const AppPtr& app) {
    const int index = indexOfItem(*app);
    if (index < 0) {
        return;
    }
    m_items.removeAt(index);
    if (m_tableView) {
        m_tableView->removeRow(index, TableView::Animation::fade);
    }
}

void FirewallViewController::removeButtonClicked(QObject* sender) {
    if (!m_tableView) {
        return;
    }
    const int row = m_tableView->rowForView(qobject_cast<QWidget*>(sender));
    if (row < 0 || row >= m_items.size()) {
        return;
    }
    // The row goes when the block list reports the unblock back through appUnblocked().
    Blacklist::shared().unblock(m_items.at(row).app());
}

void FirewallViewController::removeSelectedRows() {
    if (!m_tableView) {
        return;
    }
    // Collected first: every unblock removes a row and renumbers the ones below it.
    QList<AppPtr> apps;
    for (int row : m_tableView->selectedRowIndexes()) {
        if (row < m_items.size()) {
            apps.append(m_items.at(row).app());
        }
    }
    for (const AppPtr& app : apps) {
        Blacklist::shared().unblock(app);
    }
}

QMenu* FirewallViewController::menuForRow(int row) {
    if (row < 0 || row >= m_items.size()) {
        return nullptr;
    }
    auto* menu = new QMenu;
    QAction* remove = menu->addAction(tr("Remove"), this, &FirewallViewController::removeSelectedRows);
    remove->setShortcut(QKeySequence::Delete);
    return menu;
}

void FirewallViewController::showRowMenu(int row, const QPoint& globalPosition) {
    if (QMenu* menu = menuForRow(row)) {
        menu->setAttribute(Qt::WA_DeleteOnClose);
        menu->popup(globalPosition);
    }
}

QString FirewallViewController::refusedText(quint64 count, const QDateTime& last) {
    if (count == 0) {
        return {};
    }
    return tr("%1 refused, last %2")
        .arg(QLocale().toString(count), Connection::timeString(last.toSecsSinceEpoch()));
}

// A row counts the attempts refused under its own key and under every process key that runs its
// executable, each key once.
void FirewallViewController::showRefusedTally(FirewallTableCellView* cell, const App& app) const {
    QSet<QString> keys = m_refusedKeysByExecutable.value(app.executable());
    keys.insert(app.identifierKey());
    quint64 count = 0;
    QDateTime last;
    for (const QString& key : keys) {
        const RefusedAttempts::Tally tally = RefusedAttempts::shared().tally(key);
        count += tally.count;
        if (tally.count > 0 && (!last.isValid() || tally.last > last)) {
            last = tally.last;
        }
    }
    // A block the service has not put in force says so before anything else.
    QString enforcement;
    if (UserDefaults::standard().boolForKey(SettingsKeys::enableFirewall)) {
        enforcement = ListEnforcement::describe(ListEnforcement::shared().stateFor(app.executable()));
    }
    const QString refused = refusedText(count, last);
    QStringList lines;
    for (const QString& part : {enforcement, refused}) {
        if (!part.isEmpty()) {
            lines.append(part);
        }
    }
    cell->setRefusedText(lines.join(QStringLiteral(" · ")));
}

QString FirewallViewController::executableOfKey(const QString& identifierKey) {
    return identifierKey.startsWith(QLatin1Char('/')) ? QFileInfo(identifierKey).fileName() : identifierKey;
}

// Only a row on screen is redrawn; the others read the tally when they scroll into view.
void FirewallViewController::refusedTallyChanged(const QString& identifierKey) {
    const QString executable = executableOfKey(identifierKey);
    m_refusedKeysByExecutable[executable].insert(identifierKey);
    if (!m_tableView) {
        return;
    }
    for (int row : m_tableView->visibleRows()) {
        if (row >= m_items.size()) {
            continue;
        }
        const App& app = *m_items.at(row).app();
        if (app.identifierKey() != identifierKey && app.executable() != executable) {
            continue;
        }
        if (auto* cell = qobject_cast<FirewallTableCellView*>(m_tableView->viewAtColumn(0, row, false))) {
            showRefusedTally(cell, app);
        }
    }
}

void FirewallViewController::onOffSwitchClicked(QObject* /*sender*/) {
    updateOnOffStatus();
    // The client reads "enableFirewall" itself: the whole list when on, the empty command when off.
    KextClient::shared().updateBlacklist(&Blacklist::shared());
}

void FirewallViewController::addApplicationClicked(QObject* /*sender*/) {
    const QList<QUrl> urls = chooseApplications();
    for (const QUrl& url : urls) {
        blockByPath(url.toLocalFile());
    }
}

QList<QUrl> FirewallViewController::chooseApplications() {
    OpenPanel panel;
    panel.setTitle(tr("Choose Applications to Block"));
    panel.setTypeDescription(tr("Applications and programs"));
    panel.setAllowedFileTypes({TypeIdentifiers::bundle, TypeIdentifiers::executable});
    panel.setDirectoryURL(applicationsDirectoryURL());
    panel.setAllowsMultipleSelection(true);
    if (panel.runModal() != OpenPanel::ok) {
        return {};
    }
    return panel.URLs();
}

QUrl FirewallViewController::applicationsDirectoryURL() {
    const QString desktopApplications = QStringLiteral("/usr/share/applications");
    if (QFileInfo(desktopApplications).isDir()) {
        return QUrl::fromLocalFile(desktopApplications);
    }
    return QUrl::fromLocalFile(QStringLiteral("/Applications"));
}

void FirewallViewController::updateOnOffStatus() {
    const bool enabled = UserDefaults::standard().boolForKey(SettingsKeys::enableFirewall);
    // The switch is as honest as the rows: ON is only said plainly once the service put it in force.
    const QString state =
        enabled ? ListEnforcement::describe(ListEnforcement::shared().listState()) : QString();
    m_onOffStatusTextField->setText(!enabled          ? QStringLiteral("OFF")
                                    : state.isEmpty() ? QStringLiteral("ON")
                                                      : QStringLiteral("ON (%1)").arg(state));
    // Nothing in the list is enforced while the firewall is off, and the list should look it.
    if (m_tableView) {
        m_tableView->setDimmed(!enabled);
    }
}

int FirewallViewController::indexOfItem(const App& app) const {
    for (int index = 0; index < m_items.size(); ++index) {
        if (m_items.at(index).app()->hasSameIdentifier(app)) {
            return index;
        }
    }
    return -1;
}
