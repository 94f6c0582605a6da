// SPDX-License-Identifier: GPL-3.0-or-later
#include "kernel/Connection.h"
#include "model/RefusedAttempts.h"
#include "platform/Images.h"
#include "platform/widgets/ElidingLabel.h"
#include "tests/support/FakeKextFilter.h"
#include "tests/support/QtPrinters.h"
#include "tests/ui/firewall/FirewallPaneFixture.h"
#include "wire/KextCommandFrame.h"
#include "wire/ListFolder.h"

#include <QAbstractButton>
#include <QApplication>
#include <QContextMenuEvent>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QTemporaryDir>

namespace {

QImage imageOf(const QLabel& label) {
    return label.pixmap().toImage();
}

std::vector<std::string> namesOf(const FakeKextFilter::Command& command) {
    return Quilvane::Wire::decodeProcessNames(command.payload)
        .value_or(std::vector<std::string>{"<undecodable>"});
}

} // namespace

TEST_F(FirewallPaneTest, LoadingShowsTheBlockListInOrderAndTheSwitchState) {
    const QString bundle = makeBundle(QStringLiteral("Mail Reader"), QStringLiteral("mailreader"));
    const QString entry = makeDesktopEntry(QStringLiteral("chat.desktop"), QStringLiteral("Chat"),
                                           QStringLiteral("chatprogram"));
    Blacklist::shared().block(App::initWithPath(bundle));
    Blacklist::shared().block(App::initWithPath(entry));
    Blacklist::shared().block(App::initWithIdentifier(QStringLiteral("curl")));

    auto pane = loadPane();

    EXPECT_EQ(shownIdentifiers(*pane), (QStringList{bundle, entry, QStringLiteral("curl")}));
    ASSERT_EQ(pane->tableView()->numberOfRows(), 3);
    const QStringList expectedNames{QStringLiteral("Mail Reader"), QStringLiteral("Chat"),
                                    QStringLiteral("curl")};
    for (int row = 0; row < 3; ++row) {
        FirewallTableCellView* cell = cellAt(*pane, row);
        ASSERT_NE(cell, nullptr) << "row " << row;
        EXPECT_EQ(cell->textField()->text(), expectedNames.at(row)) << "row " << row;
    }
    EXPECT_EQ(pane->onOffStatusTextField()->text(), kOnNotAcknowledged);
    EXPECT_TRUE(pane->onOffSwitch()->isChecked());
}

TEST_F(FirewallPaneTest, StatusReadsOffWhenTheFirewallIsDisabledAtLoad) {
    UserDefaults::standard().setBool(false, QStringLiteral("enableFirewall"));

    auto pane = loadPane();

    EXPECT_EQ(pane->onOffStatusTextField()->text(), QStringLiteral("OFF"));
    EXPECT_FALSE(pane->onOffSwitch()->isChecked());
}

TEST_F(FirewallPaneTest, RowsAreTheBlockListsNotifications) {
    Blacklist::shared().block(App::initWithIdentifier(QStringLiteral("Caf\u00e9")));
    auto pane = loadPane();
    ASSERT_EQ(pane->tableView()->numberOfRows(), 1);

    // The block list reports a repeated block too, here in the decomposed spelling of the name.
    Blacklist::shared().block(App::initWithIdentifier(QStringLiteral("Cafe\u0301")));
    EXPECT_EQ(shownIdentifiers(*pane), QStringList{QStringLiteral("Caf\u00e9")});
    EXPECT_EQ(pane->tableView()->numberOfRows(), 1);

    const QString program = makeExecutable(QStringLiteral("fetcher"));
    Blacklist::shared().block(App::initWithPath(program));
    EXPECT_EQ(shownIdentifiers(*pane), (QStringList{QStringLiteral("Caf\u00e9"), program}));
    ASSERT_EQ(pane->tableView()->numberOfRows(), 2);
    ASSERT_NE(cellAt(*pane, 1), nullptr);
    EXPECT_EQ(cellAt(*pane, 1)->infoTextField()->text(), program);

    Blacklist::shared().unblock(App::initWithIdentifier(QStringLiteral("Cafe\u0301")));
    EXPECT_EQ(shownIdentifiers(*pane), QStringList{program});
    EXPECT_EQ(pane->tableView()->numberOfRows(), 1);
}

TEST_F(FirewallPaneTest, UnblockingRemovesOnlyTheFirstMatchingRow) {
    auto pane = loadPane();
    const AppPtr first = App::initWithIdentifier(QStringLiteral("wget"));
    const AppPtr duplicate = App::initWithIdentifier(QStringLiteral("wget"));
    pane->blacklistLoaded({App::initWithIdentifier(QStringLiteral("ssh")), first,
                           App::initWithIdentifier(QStringLiteral("nc")), duplicate});
    ASSERT_EQ(pane->tableView()->numberOfRows(), 4);

    pane->appUnblocked(App::initWithIdentifier(QStringLiteral("wget")));
    EXPECT_EQ(shownIdentifiers(*pane),
              (QStringList{QStringLiteral("ssh"), QStringLiteral("nc"), QStringLiteral("wget")}));
    EXPECT_EQ(pane->items().at(2).app(), duplicate);
    EXPECT_EQ(pane->tableView()->numberOfRows(), 3);

    pane->appUnblocked(App::initWithIdentifier(QStringLiteral("never-shown")));
    EXPECT_EQ(pane->tableView()->numberOfRows(), 3);
}

TEST_F(FirewallPaneTest, RemoveClickChangesTheTableOnlyThroughTheBlockList) {
    const QStringList names{QStringLiteral("alpha"), QStringLiteral("beta"), QStringLiteral("gamma")};
    for (const QString& name : names) {
        Blacklist::shared().block(App::initWithIdentifier(name));
    }
    // Subscribed before the pane, so it is told first: the table must not have changed yet.
    auto probe = std::make_shared<RecordingSubscriber>();
    Blacklist::shared().addSubscriber(probe);
    auto pane = loadPane();
    int rowsWhenNotified = -1;
    probe->onNotified = [&] {
        rowsWhenNotified = pane->tableView()->numberOfRows();
    };

    FirewallTableCellView* cell = cellAt(*pane, 1);
    ASSERT_NE(cell, nullptr);
    QTest::mouseClick(cell->removeButton(), Qt::LeftButton);

    EXPECT_EQ(probe->unblocked, QStringList{QStringLiteral("beta")});
    EXPECT_EQ(rowsWhenNotified, 3);
    EXPECT_EQ(shownIdentifiers(*pane), (QStringList{QStringLiteral("alpha"), QStringLiteral("gamma")}));
    EXPECT_EQ(pane->tableView()->numberOfRows(), 2);
    EXPECT_EQ(Blacklist::shared().identifiers(),
              (QStringList{QStringLiteral("alpha"), QStringLiteral("gamma")}));
    EXPECT_EQ(UserDefaults::standard().arrayForKey(QStringLiteral("blacklist")),
              (QStringList{QStringLiteral("alpha"), QStringLiteral("gamma")}));
}

TEST_F(FirewallPaneTest, RemoveClickOutsideAnyRowDoesNothing) {
    Blacklist::shared().block(App::initWithIdentifier(QStringLiteral("alpha")));
    auto probe = std::make_shared<RecordingSubscriber>();
    Blacklist::shared().addSubscriber(probe);
    auto pane = loadPane();

    QWidget stray;
    pane->removeButtonClicked(&stray);
    pane->removeButtonClicked(pane->onOffSwitch());
    pane->removeButtonClicked(nullptr);

    EXPECT_TRUE(probe->unblocked.isEmpty());
    EXPECT_EQ(Blacklist::shared().identifiers(), QStringList{QStringLiteral("alpha")});
    EXPECT_EQ(pane->tableView()->numberOfRows(), 1);
}

TEST_F(FirewallPaneTest, SwitchingOffEmptiesTheFilterAndKeepsTheList) {
    FakeKextFilter filter;
    KextClient::resetShared();
    ASSERT_TRUE(KextClient::shared().connectIfNeeded());
    ASSERT_TRUE(filter.waitForClients(1));
    Blacklist::shared().block(App::initWithIdentifier(QStringLiteral("zeta-tool")));
    Blacklist::shared().block(App::initWithPath(makeExecutable(QStringLiteral("alpha-tool"))));
    auto pane = loadPane();
    const QStringList storedBefore = *UserDefaults::standard().arrayForKey(QStringLiteral("blacklist"));
    // How the first row's Remove button and name look with the firewall on.
    auto* cell = qobject_cast<FirewallTableCellView*>(pane->tableView()->viewAtColumn(0, 0, false));
    ASSERT_NE(cell, nullptr);
    QWidget* viewport = pane->tableView()->viewport();
    const auto look = [viewport](const QWidget* part) {
        return viewport->grab(QRect(part->mapTo(viewport, QPoint(0, 0)), part->size())).toImage();
    };
    const QImage removeOn = look(cell->removeButton());
    const QImage nameOn = look(cell->textField());

    QTest::mouseClick(pane->onOffSwitch(), Qt::LeftButton);

    // The list is veiled, but the Remove buttons, which still work, do not look disabled.
    EXPECT_NE(look(cell->textField()), nameOn);
    EXPECT_EQ(look(cell->removeButton()), removeOn);
    // The action saw the new value: the switch stored it first.
    EXPECT_FALSE(UserDefaults::standard().boolForKey(QStringLiteral("enableFirewall")));
    EXPECT_EQ(pane->onOffStatusTextField()->text(), QStringLiteral("OFF"));
    ASSERT_TRUE(filter.waitForCommands(1));
    EXPECT_TRUE(filter.commands().at(0).payload.empty());
    EXPECT_EQ(pane->tableView()->numberOfRows(), 2);
    EXPECT_TRUE(pane->tableView()->isDimmed()) << "nothing in the list is enforced";
    EXPECT_EQ(UserDefaults::standard().arrayForKey(QStringLiteral("blacklist")), storedBefore);

    QTest::mouseClick(pane->onOffSwitch(), Qt::LeftButton);

    EXPECT_TRUE(UserDefaults::standard().boolForKey(QStringLiteral("enableFirewall")));
    EXPECT_EQ(pane->onOffStatusTextField()->text(), kOnNotAcknowledged);
    EXPECT_FALSE(pane->tableView()->isDimmed());
    ASSERT_TRUE(filter.waitForCommands(2));
    EXPECT_EQ(namesOf(filter.commands().at(1)), (std::vector<std::string>{"alpha-tool", "zeta-tool"}));
}

TEST_F(FirewallPaneTest, SwitchFollowsTheStoredValueWithoutRunningItsAction) {
    FakeKextFilter filter;
    KextClient::resetShared();
    ASSERT_TRUE(KextClient::shared().connectIfNeeded());
    auto pane = loadPane();

    UserDefaults::standard().setBool(false, QStringLiteral("enableFirewall"));

    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return !pane->onOffSwitch()->isChecked(); }));
    // The status text is refreshed at load and on clicks only, and nothing was sent.
    EXPECT_EQ(pane->onOffStatusTextField()->text(), kOnNotAcknowledged);
    TestEnvironment::spin(std::chrono::milliseconds(50));
    EXPECT_TRUE(filter.commands().empty());
}

TEST_F(FirewallPaneTest, RowsShowIconNameAndDetailLine) {
    const QString program = makeExecutable(QStringLiteral("downloader"));
    Blacklist::shared().block(App::initWithIdentifier(QStringLiteral("backupd")));
    Blacklist::shared().block(App::initWithPath(program));
    auto pane = loadPane();

    FirewallTableCellView* bare = cellAt(*pane, 0);
    FirewallTableCellView* withPath = cellAt(*pane, 1);
    ASSERT_NE(bare, nullptr);
    ASSERT_NE(withPath, nullptr);

    EXPECT_EQ(bare->infoTextField()->text(), QStringLiteral("Blocking any process with this name"));
    const std::optional<QIcon> processIcon = Images::imageNamed(QStringLiteral("process_icon_32x32"));
    ASSERT_TRUE(processIcon.has_value());
    EXPECT_EQ(imageOf(*bare->imageView()), processIcon->pixmap(32).toImage());

    EXPECT_EQ(withPath->textField()->text(), QStringLiteral("downloader"));
    EXPECT_EQ(withPath->infoTextField()->text(), program);

    for (FirewallTableCellView* cell : {bare, withPath}) {
        EXPECT_EQ(cell->textField()->font().pixelSize(), 13);
        EXPECT_EQ(cell->textField()->font().weight(), QFont::Medium);
        // Names and paths are shown as they are, never read as markup.
        EXPECT_EQ(cell->textField()->textFormat(), Qt::PlainText);
        EXPECT_EQ(cell->infoTextField()->textFormat(), Qt::PlainText);
    }
}

TEST_F(FirewallPaneTest, CellRequestsOutsideTheItemsGiveNoView) {
    Blacklist::shared().block(App::initWithIdentifier(QStringLiteral("alpha")));
    auto pane = loadPane();
    TableView* table = pane->tableView();
    const TableColumn* column =
        table->tableColumnWithIdentifier(FirewallViewController::appColumnIdentifier());
    ASSERT_NE(column, nullptr);
    const TableColumn otherColumn(QStringLiteral("noSuchCell"), QString(), 100);

    EXPECT_EQ(pane->viewForTableColumn(table, column, -1), nullptr);
    EXPECT_EQ(pane->viewForTableColumn(table, column, 1), nullptr);
    EXPECT_EQ(pane->viewForTableColumn(table, nullptr, 0), nullptr);
    EXPECT_EQ(pane->viewForTableColumn(table, &otherColumn, 0), nullptr);
    EXPECT_NE(pane->viewForTableColumn(table, column, 0), nullptr);
}

TEST_F(FirewallPaneTest, RemovingTheLastRowByItsOwnButtonEmptiesTheTable) {
    Blacklist::shared().block(App::initWithIdentifier(QStringLiteral("alpha")));
    auto pane = loadPane();
    FirewallTableCellView* cell = cellAt(*pane, 0);
    ASSERT_NE(cell, nullptr);

    QTest::mouseClick(cell->removeButton(), Qt::LeftButton);

    EXPECT_EQ(pane->tableView()->numberOfRows(), 0);
    EXPECT_TRUE(Blacklist::shared().apps().isEmpty());
}

TEST_F(FirewallPaneTest, SelectedRowsGoWithDeleteOrWithRemoveInTheirMenu) {
    for (const char* name : {"first", "second", "third", "fourth"}) {
        Blacklist::shared().block(App::initWithIdentifier(QString::fromLatin1(name)));
    }
    auto pane = loadPane();
    TableView* table = pane->tableView();

    // A click on a row's name selects the row; Ctrl+click adds another.
    QTest::mouseClick(cellAt(*pane, 0)->textField(), Qt::LeftButton);
    QTest::mouseClick(cellAt(*pane, 2)->textField(), Qt::LeftButton, Qt::ControlModifier);
    EXPECT_EQ(table->selectedRowIndexes(), (QList<int>{0, 2}));
    QTest::keyClick(table, Qt::Key_Delete);
    EXPECT_EQ(Blacklist::shared().identifiers(),
              (QStringList{QStringLiteral("second"), QStringLiteral("fourth")}));
    EXPECT_TRUE(table->selectedRowIndexes().isEmpty());

    // A right click selects the row under it and offers Remove for it.
    const QPoint onSecondRow(20, table->rowHeight() + table->rowHeight() / 2);
    QContextMenuEvent rightClick(QContextMenuEvent::Mouse, onSecondRow,
                                 table->viewport()->mapToGlobal(onSecondRow));
    QApplication::sendEvent(table->viewport(), &rightClick);
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    ASSERT_NE(menu, nullptr);
    EXPECT_EQ(table->selectedRowIndexes(), QList<int>{1});
    ASSERT_EQ(menu->actions().size(), 1);
    EXPECT_EQ(menu->actions().at(0)->text(), QStringLiteral("Remove"));
    menu->actions().at(0)->trigger();
    menu->close();
    EXPECT_EQ(Blacklist::shared().identifiers(), QStringList{QStringLiteral("second")});
}

TEST_F(FirewallPaneTest, TabPassesTheRowsControlsInTheOrderOfTheRows) {
    for (const char* name : {"a", "b", "c"}) {
        Blacklist::shared().block(App::initWithIdentifier(QString::fromLatin1(name)));
    }
    auto pane = loadPane();
    // The first row's cell goes back to the pool and comes back for the new last row.
    Blacklist::shared().unblock(App::initWithIdentifier(QStringLiteral("a")));
    Blacklist::shared().block(App::initWithIdentifier(QStringLiteral("d")));
    ASSERT_EQ(shownIdentifiers(*pane),
              (QStringList{QStringLiteral("b"), QStringLiteral("c"), QStringLiteral("d")}));

    QList<QWidget*> tabOrder;
    for (QWidget* widget = pane->tableView()->nextInFocusChain(); widget != pane->tableView();
         widget = widget->nextInFocusChain()) {
        if (widget->objectName() == QStringLiteral("removeButton") && widget->isVisible()) {
            tabOrder.append(widget);
        }
    }
    EXPECT_EQ(tabOrder, (QList<QWidget*>{cellAt(*pane, 0)->removeButton(), cellAt(*pane, 1)->removeButton(),
                                         cellAt(*pane, 2)->removeButton()}));
}

TEST_F(FirewallPaneTest, RowsCountTheRefusedAttemptsUnderThePathAndEndLongPathsInAnEllipsis) {
    const QString program = makeExecutable(QStringLiteral("a-program-with-a-name-long-enough-to-be-cut-") +
                                           QString(80, QLatin1Char('x')));
    const AppPtr app = App::initWithPath(program);
    Blacklist::shared().block(app);
    Blacklist::shared().block(App::initWithIdentifier(QStringLiteral("quiet")));
    putListInForce();
    auto pane = loadPane();
    FirewallTableCellView* cell = cellAt(*pane, 0);
    ASSERT_NE(cell, nullptr);
    EXPECT_TRUE(cell->refusedTextField()->isHidden()) << "nothing refused yet";

    const QDateTime last(QDate(2026, 12, 8), QTime(10, 42, 7));
    for (int attempt = 0; attempt < 3; ++attempt) {
        RefusedAttempts::shared().record(app->identifierKey(), last.addSecs(attempt - 2));
    }

    EXPECT_FALSE(cell->refusedTextField()->isHidden());
    EXPECT_EQ(cell->refusedTextField()->text(),
              QStringLiteral("3 refused, last ") + Connection::timeString(last.toSecsSinceEpoch()));
    EXPECT_TRUE(cell->refusedTextField()->text().contains(QStringLiteral("10:42:07")));
    EXPECT_EQ(cell->infoTextField()->text(), program) << "the path line stays";
    EXPECT_TRUE(cellAt(*pane, 1)->refusedTextField()->isHidden()) << "another application's row";

    // The filter refuses by name: a process known by its program's path counts for the bare name.
    RefusedAttempts::shared().record(QStringLiteral("/usr/bin/quiet"), last);
    EXPECT_EQ(cellAt(*pane, 1)->refusedTextField()->text(),
              QStringLiteral("1 refused, last ") + Connection::timeString(last.toSecsSinceEpoch()));

    auto* path = qobject_cast<ElidingLabel*>(cell->infoTextField());
    ASSERT_NE(path, nullptr);
    EXPECT_TRUE(path->displayedText().endsWith(QChar(0x2026))) << path->displayedText().toStdString();
    EXPECT_LT(path->displayedText().size(), program.size());
    RefusedAttempts::shared().clearAll();
}

TEST_F(FirewallPaneTest, AdministratorsListFilesAreRowsNoUserCanRemove) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "list files count only when root owns them; this test writes them as itself";
    }
    QTemporaryDir lists;
    ASSERT_TRUE(lists.isValid());
    const auto write = [&](const QString& name, const QByteArray& text) {
        QFile file(lists.filePath(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(text);
    };
    write(QStringLiteral("lab.list"), "# the lab's list\n/usr/bin/transmission-gtk\n");
    FirewallViewController::setListsDirectory(lists.path());
    Blacklist::shared().block(App::initWithIdentifier(QStringLiteral("alpha")));
    auto pane = loadPane();

    ASSERT_EQ(pane->numberOfRowsInTableView(pane->tableView()), 2);
    FirewallTableCellView* own = cellAt(*pane, 0);
    FirewallTableCellView* administrators = cellAt(*pane, 1);
    ASSERT_NE(administrators, nullptr);
    EXPECT_EQ(administrators->textField()->text(), QStringLiteral("transmission-gtk"));
    EXPECT_EQ(administrators->infoTextField()->text(), QStringLiteral("Set by the administrator"));
    EXPECT_TRUE(administrators->removeButton()->isHidden());
    EXPECT_FALSE(own->removeButton()->isHidden());
    EXPECT_EQ(pane->menuForRow(1), nullptr);

    write(QStringLiteral("more.list"), "steam\n");
    EXPECT_TRUE(
        TestEnvironment::waitUntil([&] { return pane->numberOfRowsInTableView(pane->tableView()) == 3; }));
    FirewallViewController::setListsDirectory(QString::fromLatin1(Quilvane::Wire::kListsDirectory));
}
