// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/monitor/ConnectionsViewController.h"

#include "platform/widgets/Pasteboard.h"
#include "platform/widgets/Popover.h"
#include "resources/SceneIdentifiers.h"
#include "tests/support/TestEnvironment.h"
#include "tests/ui/monitor/MonitorFixture.h"
#include "ui/monitor/ConnectionsTableModel.h"

#include <QAbstractItemModelTester>
#include <QClipboard>
#include <QGuiApplication>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QSortFilterProxyModel>
#include <QTableView>
#include <QTest>

namespace {

using Column = ConnectionsTableModel::Column;

std::shared_ptr<MonitoredApp> appWithHosts(const QList<std::pair<QString, int>>& hosts) {
    QList<ConnectionPtr> connections;
    for (const auto& [host, port] : hosts) {
        connections.append(Connection::initWithHostname(host, port));
    }
    return std::make_shared<MonitoredApp>(
        App::initWithName(QStringLiteral("tool"), QStringLiteral("tool"), std::nullopt), connections);
}

QStringList column(const QAbstractItemModel& model, Column which) {
    QStringList texts;
    for (int row = 0; row < model.rowCount(); ++row) {
        texts.append(model.index(row, static_cast<int>(which)).data().toString());
    }
    return texts;
}

} // namespace

// The popover's content controller on its own: made from the storyboard, given an app, view loaded.
class ConnectionsViewControllerTest : public MonitorFixture {
protected:
    void open(std::shared_ptr<MonitoredApp> app) {
        m_popover = m_storyboard->instantiate<ConnectionsViewController>(
            SceneIdentifiers::connectionsViewController());
        ASSERT_TRUE(m_popover);
        m_popover->setMonitoredApp(std::move(app));
        QWidget* view = m_popover->view();
        ASSERT_TRUE(view);
        view->resize(420, 280);
        view->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(view));
    }

    void selectRows(std::initializer_list<int> rows) {
        QTableView* table = m_popover->tableView();
        table->clearSelection();
        for (int row : rows) {
            table->selectionModel()->select(table->model()->index(row, 0),
                                            QItemSelectionModel::Select | QItemSelectionModel::Rows);
        }
    }

    void pressCopy() {
        m_popover->tableView()->setFocus();
        QTest::keyClick(m_popover->tableView(), Qt::Key_C, Qt::ControlModifier);
    }

    std::shared_ptr<ConnectionsViewController> m_popover;
};

TEST_F(ConnectionsViewControllerTest, ModelFollowsAppendsAndReplacementsConsistently) {
    auto app = appWithHosts({{QStringLiteral("a.example"), 443}});
    ConnectionsTableModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    model.setMonitoredApp(app);
    ASSERT_EQ(model.rowCount(), 1);
    ASSERT_EQ(model.columnCount(), static_cast<int>(Column::count));

    for (int i = 0; i < 20; ++i) {
        app->addConnection(Connection::initWithHostname(QStringLiteral("h%1").arg(i), i));
    }
    // A burst becomes one insertion when the event loop turns.
    QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return model.rowCount() == 21; }));
    ASSERT_EQ(inserted.size(), 1);
    EXPECT_EQ(inserted.at(0).at(1).toInt(), 1);
    EXPECT_EQ(inserted.at(0).at(2).toInt(), 20);
    EXPECT_EQ(model.index(20, static_cast<int>(Column::hostname)).data().toString(), QStringLiteral("h19"));
    EXPECT_EQ(model.index(20, static_cast<int>(Column::port)).data().toString(), QStringLiteral("19"));

    app->setConnections({});
    EXPECT_EQ(model.rowCount(), 0);
    model.setMonitoredApp(nullptr);
    EXPECT_EQ(model.rowCount(), 0);
    EXPECT_FALSE(model.connectionAt(0));
}

// Views must hear of the rows that leave the front, or they would show the dropped ones under the
// new ones' indexes.
TEST_F(ConnectionsViewControllerTest, ModelRemovesTheOldestRowsAtTheBound) {
    auto app = appWithHosts({{QStringLiteral("h0"), 0}});
    ConnectionsTableModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    model.setMonitoredApp(app);
    MonitoredApp::setConnectionLimit(4);
    for (int i = 1; i < 4; ++i) {
        app->addConnection(Connection::initWithHostname(QStringLiteral("h%1").arg(i), i));
    }
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return model.rowCount() == 4; }));

    QSignalSpy removed(&model, &QAbstractItemModel::rowsRemoved);
    QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
    app->addConnection(Connection::initWithHostname(QStringLiteral("h4"), 4));
    app->addConnection(Connection::initWithHostname(QStringLiteral("h5"), 5));
    MonitoredApp::setConnectionLimit(MonitoredApp::defaultConnectionLimit);
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return inserted.size() == 1; }));

    EXPECT_EQ(removed.size(), 2);
    ASSERT_EQ(model.rowCount(), 4);
    EXPECT_EQ(model.index(0, static_cast<int>(Column::hostname)).data().toString(), QStringLiteral("h2"));
    EXPECT_EQ(model.index(3, static_cast<int>(Column::hostname)).data().toString(), QStringLiteral("h5"));
}

TEST_F(ConnectionsViewControllerTest, ArrivingConnectionAppearsAsTheLastRowWhileOpen) {
    m_controller->connectionMade(connectionTo(QStringLiteral("first.example")),
                                 bareApp(QStringLiteral("tool")));
    ASSERT_TRUE(cell(0));
    QTest::mouseClick(cell(0)->inspectButton(), Qt::LeftButton);
    Popover* popover = Popover::lastShown();
    ASSERT_TRUE(popover);
    auto content = std::dynamic_pointer_cast<ConnectionsViewController>(popover->contentViewController());
    ASSERT_TRUE(content);
    QAbstractItemModelTester tester(content->arrayController(),
                                    QAbstractItemModelTester::FailureReportingMode::Fatal);

    m_controller->connectionMade(connectionTo(QStringLiteral("second.example"), 8443),
                                 bareApp(QStringLiteral("tool")));

    const QAbstractItemModel* shown = content->tableView()->model();
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return shown->rowCount() == 2; }));
    EXPECT_TRUE(popover->isVisible());
    EXPECT_EQ(column(*shown, Column::hostname),
              (QStringList{QStringLiteral("first.example"), QStringLiteral("second.example")}));
    EXPECT_EQ(shown->index(1, static_cast<int>(Column::port)).data().toString(), QStringLiteral("8443"));
    EXPECT_FALSE(shown->index(1, static_cast<int>(Column::time)).data().toString().isEmpty());
    EXPECT_EQ(cell(0)->inspectButton()->text(), QStringLiteral("2"));
}

TEST_F(ConnectionsViewControllerTest, CopyPutsTheSelectedHostNamesInDisplayedOrder) {
    open(appWithHosts({{QStringLiteral("zero.example"), 1},
                       {QStringLiteral("one.example"), 2},
                       {QStringLiteral("two.example"), 3}}));
    // Selected out of order: the copy still follows the rows.
    selectRows({2, 0});

    pressCopy();

    EXPECT_EQ(Pasteboard::general().items(),
              (QStringList{QStringLiteral("zero.example"), QStringLiteral("two.example")}));
    // The system clipboard holds one text: the items one a line, nothing after the last.
    EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("zero.example\ntwo.example"));
}

TEST_F(ConnectionsViewControllerTest, CopyWithNothingSelectedLeavesThePasteboardEmpty) {
    open(appWithHosts({{QStringLiteral("zero.example"), 1}, {QStringLiteral("one.example"), 2}}));
    Pasteboard::general().clearContents();
    Pasteboard::general().writeObjects({QStringLiteral("left over")});
    m_popover->tableView()->clearSelection();

    pressCopy();

    EXPECT_TRUE(Pasteboard::general().items().isEmpty());
    EXPECT_TRUE(QGuiApplication::clipboard()->text().isEmpty());
}

TEST_F(ConnectionsViewControllerTest, EmptyHostNameShowsAndCopiesAsEmpty) {
    open(appWithHosts({{QString(), 53}, {QStringLiteral("named.example"), 53}}));
    EXPECT_EQ(column(*m_popover->arrayController(), Column::hostname),
              (QStringList{QString(), QStringLiteral("named.example")}));
    selectRows({0, 1});

    m_popover->copy();

    EXPECT_EQ(Pasteboard::general().items(), (QStringList{QString(), QStringLiteral("named.example")}));
}

TEST_F(ConnectionsViewControllerTest, AReverseNameSaysSoAndCopiesAsTheNameAlone) {
    using Origin = Connection::HostOrigin;
    const QString name = QStringLiteral("edge.example.net");
    open(std::make_shared<MonitoredApp>(
        App::initWithName(QStringLiteral("tool"), QStringLiteral("tool"), std::nullopt),
        QList<ConnectionPtr>{Connection::initWithHostname(name, 1, Origin::program),
                             Connection::initWithHostname(name, 2, Origin::application),
                             Connection::initWithHostname(name, 3, Origin::reverseLookup)}));
    const QAbstractItemModel& shown = *m_popover->arrayController();
    const auto host = [&](int row) {
        return shown.index(row, static_cast<int>(Column::hostname));
    };
    EXPECT_EQ(column(shown, Column::hostname), (QStringList{name, name, name}));
    EXPECT_EQ(host(0).data(ConnectionsTableModel::HostNoteRole).toString(), QString());
    EXPECT_EQ(host(1).data(ConnectionsTableModel::HostNoteRole).toString(), QString());
    EXPECT_EQ(host(2).data(ConnectionsTableModel::HostNoteRole).toString(), QStringLiteral("reverse"));

    // The host column draws the note after the name.
    QTableView* table = m_popover->tableView();
    QAbstractItemDelegate* delegate = table->itemDelegateForColumn(static_cast<int>(Column::hostname));
    ASSERT_TRUE(delegate);
    QStyleOptionViewItem option;
    option.initFrom(table);
    EXPECT_GT(delegate->sizeHint(option, host(2)).width(), delegate->sizeHint(option, host(0)).width());

    selectRows({0, 2});
    pressCopy();
    EXPECT_EQ(Pasteboard::general().items(), (QStringList{name, name}));
}

TEST_F(ConnectionsViewControllerTest, SortingByAColumnTitleReordersAndCopyFollowsIt) {
    open(appWithHosts({{QStringLiteral("b.example"), 8080},
                       {QStringLiteral("c.example"), 80},
                       {QStringLiteral("a.example"), 443}}));
    QHeaderView* header = m_popover->tableView()->horizontalHeader();
    const QSortFilterProxyModel& arranged = *m_popover->arrayController();
    // Until a title is clicked the rows keep their arrival order.
    EXPECT_EQ(column(arranged, Column::port),
              (QStringList{QStringLiteral("8080"), QStringLiteral("80"), QStringLiteral("443")}));

    QTest::mouseClick(
        header->viewport(), Qt::LeftButton, {},
        QPoint(header->sectionViewportPosition(static_cast<int>(Column::port)) + 5, header->height() / 2));
    // Ports sort as numbers, not as text.
    EXPECT_EQ(column(arranged, Column::port),
              (QStringList{QStringLiteral("80"), QStringLiteral("443"), QStringLiteral("8080")}));

    m_popover->tableView()->sortByColumn(static_cast<int>(Column::hostname), Qt::DescendingOrder);
    EXPECT_EQ(
        column(arranged, Column::hostname),
        (QStringList{QStringLiteral("c.example"), QStringLiteral("b.example"), QStringLiteral("a.example")}));
    selectRows({0, 2});
    m_popover->copy();
    EXPECT_EQ(Pasteboard::general().items(),
              (QStringList{QStringLiteral("c.example"), QStringLiteral("a.example")}));

    // Time sorts by arrival, which is the chronological order even when the clock shows 12-hour texts.
    m_popover->tableView()->sortByColumn(static_cast<int>(Column::time), Qt::DescendingOrder);
    EXPECT_EQ(
        column(arranged, Column::hostname),
        (QStringList{QStringLiteral("a.example"), QStringLiteral("c.example"), QStringLiteral("b.example")}));
}

TEST_F(ConnectionsViewControllerTest, TableAllowsSelectingSeveralRows) {
    open(appWithHosts({{QStringLiteral("a"), 1}, {QStringLiteral("b"), 2}, {QStringLiteral("c"), 3}}));
    QTableView* table = m_popover->tableView();
    const auto rowCenter = [&](int row) {
        return table->visualRect(table->model()->index(row, 0)).center();
    };

    QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, rowCenter(0));
    QTest::mouseClick(table->viewport(), Qt::LeftButton, Qt::ControlModifier, rowCenter(2));

    EXPECT_EQ(table->selectionModel()->selectedRows().size(), 2);
}

TEST_F(ConnectionsViewControllerTest, ScrolledToTheLastRowItFollowsNewConnectionsAndElsewhereItStays) {
    QList<std::pair<QString, int>> hosts;
    for (int i = 0; i < 60; ++i) {
        hosts.append({QStringLiteral("h%1.example").arg(i), 443});
    }
    auto app = appWithHosts(hosts);
    open(app);
    QScrollBar* bar = m_popover->tableView()->verticalScrollBar();
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return bar->maximum() > 0; }));

    bar->setValue(bar->maximum());
    const int bottomBefore = bar->maximum();
    app->addConnection(Connection::initWithHostname(QStringLiteral("new.example"), 80));
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return bar->maximum() > bottomBefore; }));
    EXPECT_EQ(bar->value(), bar->maximum()) << "the new last row is in view";

    bar->setValue(0);
    app->addConnection(Connection::initWithHostname(QStringLiteral("later.example"), 80));
    const int grown = bar->maximum();
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return bar->maximum() > grown; }));
    EXPECT_EQ(bar->value(), 0);
}
