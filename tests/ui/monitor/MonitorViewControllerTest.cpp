// SPDX-License-Identifier: GPL-3.0-or-later
#include "kernel/KextClient.h"
#include "model/Blacklist.h"
#include "platform/widgets/Pasteboard.h"
#include "platform/widgets/Popover.h"
#include "platform/widgets/TableView.h"
#include "tests/support/TestEnvironment.h"
#include "tests/ui/monitor/MonitorFixture.h"
#include "ui/monitor/ConnectionsViewController.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QScreen>
#include <QSortFilterProxyModel>
#include <QTest>
#include <algorithm>

using namespace std::chrono_literals;

namespace {

bool holds(const auto& subscribers, const auto& subscriber) {
    return std::any_of(subscribers.begin(), subscribers.end(),
                       [&](const auto& held) { return held.get() == subscriber.get(); });
}

} // namespace

using MonitorViewControllerTest = MonitorFixture;

TEST_F(MonitorViewControllerTest, LoadingSubscribesToTheBlockListAndTheFilterClient) {
    EXPECT_TRUE(holds(Blacklist::shared().subscribers(), m_controller));
    EXPECT_TRUE(holds(KextClient::shared().subscribers(), m_controller));
    EXPECT_EQ(m_controller->statusTextField()->text(), QStringLiteral("CONNECTIONS IN THE LAST 0 SECONDS"));
    EXPECT_EQ(m_controller->tableView()->numberOfRows(), 0);
}

TEST_F(MonitorViewControllerTest, ConnectionsOfOneAppShareARowAndANewAppAddsOneBelow) {
    const AppPtr curl = pathApp(QStringLiteral("curl"), QStringLiteral("/usr/bin/curl"));
    m_controller->connectionMade(connectionTo(QStringLiteral("example.org")), curl);
    m_controller->connectionMade(connectionTo(QStringLiteral("example.org")), curl);

    ASSERT_EQ(m_controller->items().size(), 1);
    ASSERT_TRUE(cell(0));
    EXPECT_EQ(cell(0)->inspectButton()->text(), QStringLiteral("2"));
    EXPECT_EQ(cell(0)->textField()->text(), QStringLiteral("curl"));
    EXPECT_EQ(cell(0)->infoTextField()->text(), QStringLiteral("/usr/bin/curl"));

    m_controller->connectionMade(connectionTo(QStringLiteral("debian.org"), 80),
                                 bareApp(QStringLiteral("ntpd")));

    ASSERT_EQ(m_controller->items().size(), 2);
    EXPECT_EQ(m_controller->tableView()->numberOfRows(), 2);
    ASSERT_TRUE(cell(1));
    EXPECT_EQ(cell(1)->textField()->text(), QStringLiteral("ntpd"));
    EXPECT_EQ(cell(1)->infoTextField()->text(), QStringLiteral("In-memory process"));
    EXPECT_EQ(cell(1)->inspectButton()->text(), QStringLiteral("1"));
    EXPECT_FALSE(cell(1)->imageView()->pixmap().isNull()) << "the process image shows for a bare process";
    EXPECT_EQ(cell(0)->inspectButton()->text(), QStringLiteral("2"));
}

TEST_F(MonitorViewControllerTest, SameIdentifierWithAnotherNameJoinsTheFirstRowAndKeepsItsName) {
    m_controller->connectionMade(connectionTo(QStringLiteral("a.example")),
                                 pathApp(QStringLiteral("Browser"), QStringLiteral("/opt/browser/browser")));
    MonitorTableCellView* before = cell(0);
    ASSERT_TRUE(before);

    m_controller->connectionMade(
        connectionTo(QStringLiteral("b.example")),
        pathApp(QStringLiteral("Other Name"), QStringLiteral("/opt/browser/browser")));

    ASSERT_EQ(m_controller->items().size(), 1);
    EXPECT_EQ(m_controller->items().at(0)->connectionCount(), 2);
    // Retitled in place: the same cell view, no reload.
    EXPECT_EQ(cell(0), before);
    EXPECT_EQ(cell(0)->textField()->text(), QStringLiteral("Browser"));
    EXPECT_EQ(cell(0)->inspectButton()->text(), QStringLiteral("2"));
}

TEST_F(MonitorViewControllerTest, CanonicallyEquivalentIdentifiersShareARow) {
    const QString composed = QStringLiteral("/opt/Caf\u00e9/bin/caf\u00e9");
    const QString decomposed = QStringLiteral("/opt/Cafe\u0301/bin/cafe\u0301");
    ASSERT_NE(composed, decomposed);
    m_controller->connectionMade(connectionTo(QStringLiteral("x")),
                                 pathApp(QStringLiteral("Café"), decomposed));
    m_controller->connectionMade(connectionTo(QStringLiteral("y")),
                                 pathApp(QStringLiteral("Café"), composed));

    ASSERT_EQ(m_controller->items().size(), 1);
    EXPECT_EQ(m_controller->items().at(0)->connectionCount(), 2);
    EXPECT_EQ(m_controller->items().at(0)->info(), decomposed);
}

TEST_F(MonitorViewControllerTest, RowsBelowARemovedOneStillGetTheirConnections) {
    for (const QString& name :
         {QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c"), QStringLiteral("d")}) {
        m_controller->connectionMade(connectionTo(QStringLiteral("x")), bareApp(name));
    }
    Blacklist::shared().block(bareApp(QStringLiteral("b")));
    m_controller->connectionMade(connectionTo(QStringLiteral("x")), bareApp(QStringLiteral("d")));
    m_controller->connectionMade(connectionTo(QStringLiteral("x")), bareApp(QStringLiteral("b")));

    QStringList names;
    QList<int> counts;
    for (const auto& item : m_controller->items()) {
        names.append(item->app()->name());
        counts.append(item->connectionCount());
    }
    // b came back as a new row at the bottom; d kept its row, now one higher.
    EXPECT_EQ(names, (QStringList{QStringLiteral("a"), QStringLiteral("c"), QStringLiteral("d"),
                                  QStringLiteral("b")}));
    EXPECT_EQ(counts, (QList<int>{1, 1, 2, 1}));
    ASSERT_TRUE(cell(2));
    EXPECT_EQ(cell(2)->inspectButton()->text(), QStringLiteral("2"));
    EXPECT_EQ(m_controller->tableView()->numberOfRows(), 4);
}

TEST_F(MonitorViewControllerTest, CountOfARowOffScreenShowsWhenItScrollsIn) {
    for (int i = 0; i < 40; ++i) {
        m_controller->connectionMade(connectionTo(QStringLiteral("host")),
                                     bareApp(QStringLiteral("app%1").arg(i)));
    }
    TableView* table = m_controller->tableView();
    ASSERT_EQ(table->numberOfRows(), 40);
    ASSERT_FALSE(table->visibleRows().contains(30)) << "row 30 starts off screen";
    EXPECT_LT(table->visibleRows().size(), 40) << "cells exist only for the rows on screen";

    m_controller->connectionMade(connectionTo(QStringLiteral("host")), bareApp(QStringLiteral("app30")));
    m_controller->connectionMade(connectionTo(QStringLiteral("host")), bareApp(QStringLiteral("app30")));

    EXPECT_EQ(m_controller->items().at(30)->connectionCount(), 3);
    EXPECT_EQ(cell(30), nullptr);
    table->scrollRowToVisible(30);
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return cell(30) != nullptr; }));
    EXPECT_EQ(cell(30)->inspectButton()->text(), QStringLiteral("3"));
    EXPECT_EQ(cell(30)->textField()->text(), QStringLiteral("app30"));
}

TEST_F(MonitorViewControllerTest, ClearEmptiesTheTableAndCountsFromZeroAgain) {
    m_controller->connectionMade(connectionTo(QStringLiteral("x")), bareApp(QStringLiteral("one")));
    m_controller->connectionMade(connectionTo(QStringLiteral("x")), bareApp(QStringLiteral("two")));
    advanceClock(5min);
    m_controller->updateStatus();
    EXPECT_EQ(m_controller->statusTextField()->text(), QStringLiteral("CONNECTIONS IN THE LAST 5 MINUTES"));

    QTest::mouseClick(m_controller->clearButton(), Qt::LeftButton);

    EXPECT_TRUE(m_controller->items().isEmpty());
    EXPECT_EQ(m_controller->tableView()->numberOfRows(), 0);
    EXPECT_TRUE(m_controller->tableView()->visibleRows().isEmpty());
    EXPECT_EQ(m_controller->statusTextField()->text(), QStringLiteral("CONNECTIONS IN THE LAST 0 SECONDS"));

    m_controller->connectionMade(connectionTo(QStringLiteral("x")), bareApp(QStringLiteral("two")));
    ASSERT_EQ(m_controller->items().size(), 1);
    ASSERT_TRUE(cell(0));
    EXPECT_EQ(cell(0)->inspectButton()->text(), QStringLiteral("1"));
    EXPECT_EQ(cell(0)->textField()->text(), QStringLiteral("two"));
}

TEST_F(MonitorViewControllerTest, StatusLineRefreshesOnItsOwnOnceASecond) {
    advanceClock(42s);
    EXPECT_TRUE(TestEnvironment::waitUntil(
        [&] {
            return m_controller->statusTextField()->text() ==
                   QStringLiteral("CONNECTIONS IN THE LAST 42 SECONDS");
        },
        3s));
}

TEST_F(MonitorViewControllerTest, StatusLineFollowsTheUsersLanguage) {
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    advanceClock(2h);
    m_controller->updateStatus();
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    // The unit comes from ICU in German; the fixed words stay as they are.
    EXPECT_EQ(m_controller->statusTextField()->text(), QStringLiteral("CONNECTIONS IN THE LAST 2 STUNDEN"));

    // Under a Turkish locale the fixed words keep their dotless capitals; only the interval is
    // Turkish, with its own dotted capital I.
    QLocale::setDefault(QLocale(QLocale::Turkish, QLocale::Turkey));
    advanceClock(3min);
    m_controller->updateStatus();
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    EXPECT_EQ(m_controller->statusTextField()->text(), QStringLiteral("CONNECTIONS IN THE LAST 2 SAAT"));
    m_controller->clearButtonClicked();
    QLocale::setDefault(QLocale(QLocale::Turkish, QLocale::Turkey));
    m_controller->updateStatus();
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    EXPECT_EQ(m_controller->statusTextField()->text(),
              QStringLiteral("CONNECTIONS IN THE LAST 0 SAN\u0130YE"));
}

TEST_F(MonitorViewControllerTest, NamesUseTheRowNameFontOfBothPanes) {
    m_controller->connectionMade(connectionTo(QStringLiteral("x")), bareApp(QStringLiteral("named")));
    ASSERT_TRUE(cell(0));
    const QFont font = cell(0)->textField()->font();
    EXPECT_EQ(font.pixelSize(), 13);
    EXPECT_EQ(font.weight(), QFont::Medium);
}

TEST_F(MonitorViewControllerTest, BlockButtonBlocksThroughTheBlockListWhichRemovesTheRow) {
    const AppPtr first = bareApp(QStringLiteral("first"));
    const AppPtr second = pathApp(QStringLiteral("second"), QStringLiteral("/usr/bin/second"));
    m_controller->connectionMade(connectionTo(QStringLiteral("x")), first);
    m_controller->connectionMade(connectionTo(QStringLiteral("x")), second);
    ASSERT_TRUE(cell(1));

    QTest::mouseClick(cell(1)->blockButton(), Qt::LeftButton);

    ASSERT_EQ(Blacklist::shared().apps().size(), 1);
    EXPECT_TRUE(Blacklist::shared().apps().at(0)->hasSameIdentifier(*second));
    ASSERT_EQ(m_controller->items().size(), 1);
    EXPECT_TRUE(m_controller->items().at(0)->app()->hasSameIdentifier(*first));
    EXPECT_EQ(m_controller->tableView()->numberOfRows(), 1);
}

TEST_F(MonitorViewControllerTest, BlockingAnAppAlreadyBlockedStillRemovesItsRow) {
    const AppPtr app = bareApp(QStringLiteral("again"));
    Blacklist::shared().block(app);
    // A blocked app that still reports a connection comes back as a row.
    m_controller->connectionMade(connectionTo(QStringLiteral("x")), app);
    ASSERT_EQ(m_controller->items().size(), 1);
    ASSERT_TRUE(cell(0));

    QTest::mouseClick(cell(0)->blockButton(), Qt::LeftButton);

    EXPECT_TRUE(m_controller->items().isEmpty());
    EXPECT_EQ(m_controller->tableView()->numberOfRows(), 0);
    EXPECT_EQ(Blacklist::shared().apps().size(), 1);
}

TEST_F(MonitorViewControllerTest, BlockingAnAppWithoutARowChangesNothing) {
    m_controller->connectionMade(connectionTo(QStringLiteral("x")), bareApp(QStringLiteral("listed")));

    Blacklist::shared().block(bareApp(QStringLiteral("elsewhere")));

    ASSERT_EQ(m_controller->items().size(), 1);
    EXPECT_EQ(m_controller->items().at(0)->app()->name(), QStringLiteral("listed"));
    EXPECT_EQ(m_controller->tableView()->numberOfRows(), 1);
}

TEST_F(MonitorViewControllerTest, InspectOnRowThreeOpensThePopoverOfElementThree) {
    for (int i = 0; i < 5; ++i) {
        m_controller->connectionMade(connectionTo(QStringLiteral("h%1").arg(i)),
                                     bareApp(QStringLiteral("app%1").arg(i)));
    }
    ASSERT_TRUE(cell(3));
    QPushButton* button = cell(3)->inspectButton();

    QTest::mouseClick(button, Qt::LeftButton);

    Popover* popover = Popover::lastShown();
    ASSERT_TRUE(popover);
    EXPECT_EQ(popover->behavior(), Popover::Behavior::transient);
    EXPECT_EQ(popover->positioningView(), button);
    auto content = std::dynamic_pointer_cast<ConnectionsViewController>(popover->contentViewController());
    ASSERT_TRUE(content);
    EXPECT_EQ(content->monitoredApp(), m_controller->items().at(3));
    EXPECT_EQ(content->arrayController()->rowCount(), 1);
}

TEST_F(MonitorViewControllerTest, ActionsFromOutsideTheRowsDoNothing) {
    m_controller->connectionMade(connectionTo(QStringLiteral("x")), bareApp(QStringLiteral("kept")));
    QPushButton stray(QStringLiteral("stray"));

    m_controller->blockButtonClicked(&stray);
    m_controller->blockButtonClicked(m_controller->clearButton());
    m_controller->blockButtonClicked(nullptr);
    m_controller->inspectButtonClicked(&stray);
    m_controller->inspectButtonClicked(nullptr);

    EXPECT_EQ(m_controller->items().size(), 1);
    EXPECT_TRUE(Blacklist::shared().apps().isEmpty());
    EXPECT_EQ(Popover::lastShown(), nullptr);
}

TEST_F(MonitorViewControllerTest, DataSourceAnswersNothingForOutOfRangeRowsOrNoColumn) {
    m_controller->connectionMade(connectionTo(QStringLiteral("x")), bareApp(QStringLiteral("only")));
    TableView* table = m_controller->tableView();
    const TableColumn* column = table->tableColumn(0);
    ASSERT_TRUE(column);

    EXPECT_EQ(m_controller->viewForTableColumn(table, column, -1), nullptr);
    EXPECT_EQ(m_controller->viewForTableColumn(table, column, 1), nullptr);
    EXPECT_EQ(m_controller->viewForTableColumn(table, nullptr, 0), nullptr);
    EXPECT_EQ(m_controller->numberOfRowsInTableView(table), 1);
}

TEST_F(MonitorViewControllerTest, MissingConnectionOrAppIsIgnored) {
    m_controller->connectionMade(nullptr, bareApp(QStringLiteral("a")));
    m_controller->connectionMade(connectionTo(QStringLiteral("x")), nullptr);
    m_controller->appBlocked(nullptr);
    EXPECT_TRUE(m_controller->items().isEmpty());
    EXPECT_EQ(m_controller->tableView()->numberOfRows(), 0);
}

TEST_F(MonitorViewControllerTest, InspectWithoutAStoryboardDoesNothing) {
    auto loose = std::make_shared<MonitorViewController>();
    QWidget* view = loose->view();
    view->resize(400, 300);
    view->show();
    loose->connectionMade(connectionTo(QStringLiteral("x")), bareApp(QStringLiteral("a")));
    auto* looseCell = qobject_cast<MonitorTableCellView*>(loose->tableView()->viewAtColumn(0, 0, false));
    ASSERT_TRUE(looseCell);

    QTest::mouseClick(looseCell->inspectButton(), Qt::LeftButton);

    EXPECT_EQ(Popover::lastShown(), nullptr);
    view->hide();
}

TEST_F(MonitorViewControllerTest, ARowsContextMenuBlocksShowsConnectionsAndCopiesHosts) {
    const AppPtr curl = pathApp(QStringLiteral("curl"), QStringLiteral("/usr/bin/curl"));
    m_controller->connectionMade(connectionTo(QStringLiteral("b.example")), bareApp(QStringLiteral("other")));
    for (const char* host : {"a.example", "b.example", "a.example", ""}) {
        m_controller->connectionMade(connectionTo(QString::fromLatin1(host)), curl);
    }
    TableView* table = m_controller->tableView();
    const QPoint onSecondRow(20, table->rowHeight() + table->rowHeight() / 2);
    QContextMenuEvent rightClick(QContextMenuEvent::Mouse, onSecondRow,
                                 table->viewport()->mapToGlobal(onSecondRow));
    QApplication::sendEvent(table->viewport(), &rightClick);
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    ASSERT_NE(menu, nullptr);
    QStringList titles;
    for (const QAction* action : menu->actions()) {
        titles.append(action->text());
    }
    EXPECT_EQ(titles, (QStringList{QStringLiteral("Block"), QStringLiteral("Show Connections"),
                                   QStringLiteral("Copy Host")}));

    menu->actions().at(2)->trigger();
    EXPECT_EQ(Pasteboard::general().items(),
              (QStringList{QStringLiteral("a.example"), QStringLiteral("b.example")}));

    menu->actions().at(1)->trigger();
    Popover* popover = Popover::lastShown();
    ASSERT_NE(popover, nullptr);
    auto content = std::dynamic_pointer_cast<ConnectionsViewController>(popover->contentViewController());
    ASSERT_TRUE(content);
    EXPECT_EQ(content->monitoredApp(), m_controller->items().at(1));
    popover->close();

    menu->actions().at(0)->trigger();
    menu->close();
    ASSERT_EQ(Blacklist::shared().apps().size(), 1);
    EXPECT_TRUE(Blacklist::shared().apps().at(0)->hasSameIdentifier(*curl));
    EXPECT_EQ(m_controller->items().size(), 1);
}

// The popover sits beside the row's buttons where the screen has room, else below (or above) the
// row: never over the row's own name, path or buttons, and whole on the screen.
TEST_F(MonitorViewControllerTest, ThePopoverCoversNeitherItsRowsTextNorItsButtons) {
    for (int i = 0; i < 6; ++i) {
        m_controller->connectionMade(connectionTo(QStringLiteral("h%1").arg(i)),
                                     bareApp(QStringLiteral("app%1").arg(i)));
    }
    ASSERT_TRUE(cell(2));
    QTest::mouseClick(cell(2)->inspectButton(), Qt::LeftButton);
    Popover* popover = Popover::lastShown();
    ASSERT_NE(popover, nullptr);

    const QRect placed = popover->frameGeometry();
    for (const QWidget* part :
         {static_cast<QWidget*>(cell(2)->textField()), static_cast<QWidget*>(cell(2)->infoTextField()),
          static_cast<QWidget*>(cell(2)->inspectButton()), static_cast<QWidget*>(cell(2)->blockButton())}) {
        EXPECT_FALSE(placed.intersects(QRect(part->mapToGlobal(QPoint(0, 0)), part->size())))
            << part->objectName().toStdString();
    }
    EXPECT_TRUE(popover->screen()->availableGeometry().contains(placed));
}

// The context menu opened from the keyboard (the Menu key) may belong to a selected row scrolled out
// of view: Show Connections still opens the popover, beside that row.
TEST_F(MonitorViewControllerTest, ShowConnectionsWorksForARowScrolledOutOfView) {
    for (int i = 0; i < 40; ++i) {
        m_controller->connectionMade(connectionTo(QStringLiteral("h%1").arg(i)),
                                     bareApp(QStringLiteral("app%1").arg(i)));
    }
    TableView* table = m_controller->tableView();
    ASSERT_EQ(table->viewAtColumn(0, 39, false), nullptr) << "the last row starts out of view";
    std::unique_ptr<QMenu> menu(m_controller->menuForRow(39));
    ASSERT_NE(menu, nullptr);
    menu->actions().at(1)->trigger();

    Popover* popover = Popover::lastShown();
    ASSERT_NE(popover, nullptr);
    auto content = std::dynamic_pointer_cast<ConnectionsViewController>(popover->contentViewController());
    ASSERT_TRUE(content);
    EXPECT_EQ(content->monitoredApp(), m_controller->items().at(39));
    ASSERT_TRUE(cell(39));
    EXPECT_EQ(popover->positioningView(), cell(39)->inspectButton());
    popover->close();
}
