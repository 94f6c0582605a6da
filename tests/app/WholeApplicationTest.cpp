// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/AppDelegate.h"
#include "app/MainStoryboard.h"
#include "app/MainViewController.h"
#include "app/Startup.h"
#include "model/Blacklist.h"
#include "model/Notices.h"
#include "model/RefusedAttempts.h"
#include "platform/widgets/Storyboard.h"
#include "platform/widgets/TableView.h"
#include "platform/widgets/Window.h"
#include "platform/widgets/WindowController.h"
#include "tests/support/FakeKextFilter.h"
#include "tests/support/FreshApplicationState.h"
#include "tests/support/TestEnvironment.h"
#include "ui/firewall/FirewallTableCellView.h"
#include "ui/firewall/FirewallViewController.h"
#include "ui/monitor/MonitorTableCellView.h"
#include "ui/monitor/MonitorViewController.h"
#include "wire/KextCommandFrame.h"

#include <QAbstractButton>
#include <QFile>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QTabBar>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <chrono>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <vector>

namespace {

template <typename Pane> std::shared_ptr<Pane> subscribedPane() {
    for (const auto& subscriber : Blacklist::shared().subscribers()) {
        if (auto pane = std::dynamic_pointer_cast<Pane>(subscriber)) {
            return pane;
        }
    }
    return nullptr;
}

// Clicks the tab as a user would.
void selectTab(QTabWidget& tabs, int index) {
    QTabBar* bar = tabs.tabBar();
    QTest::mouseClick(bar, Qt::LeftButton, Qt::NoModifier, bar->tabRect(index).center());
}

std::vector<std::string> lastNamesSent(const FakeKextFilter& filter) {
    const std::vector<FakeKextFilter::Command> commands = filter.commands();
    if (commands.empty()) {
        return {"<nothing sent>"};
    }
    return Quilvane::Wire::decodeProcessNames(commands.back().payload).value_or(std::vector<std::string>{});
}

} // namespace

// The application with its own storyboard and real panes, in a temporary home, against a stand-in
// filter service where a test starts one (none otherwise: nothing reaches a service on the machine).
class WholeApplicationTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_folder.isValid());
        m_state.emplace(m_folder.path(), &Startup::registerDefaults);
    }

    void TearDown() override {
        if (m_program.state() != QProcess::NotRunning) {
            m_program.kill();
            m_program.waitForFinished();
        }
        if (m_delegate && m_delegate->mainWindowController() &&
            m_delegate->mainWindowController()->window()) {
            m_delegate->mainWindowController()->window()->hide();
        }
        m_state.reset();
    }

    // A copy of a small program, running under its own name at `path` until the test ends.
    void startProgram(const QString& path) {
        ASSERT_TRUE(QFile::copy(QStringLiteral("/bin/sleep"), path));
        m_program.start(path, {QStringLiteral("60")});
        ASSERT_TRUE(m_program.waitForStarted());
    }

    // The application as it starts: the real storyboard, the delegate, the launch decision.
    void launch() {
        registerMainStoryboard(m_storyboard);
        m_delegate = std::make_shared<AppDelegate>(m_storyboard);
        QSignalSpy decided(m_delegate.get(), &AppDelegate::launchDecided);
        m_delegate->applicationDidFinishLaunching();
        ASSERT_TRUE(decided.wait(5000)) << "the launch took no decision";
    }

    QTemporaryDir m_folder;
    std::optional<FreshApplicationState> m_state;
    QProcess m_program;
    Storyboard m_storyboard{QStringLiteral("Main")};
    std::shared_ptr<AppDelegate> m_delegate;
};

TEST_F(WholeApplicationTest, MainViewLoadsTheFirewallPaneThenTheMonitorPane) {
    Blacklist::shared().block(App::initWithIdentifier(QStringLiteral("curl")));
    Storyboard storyboard(QStringLiteral("Main"));
    registerMainStoryboard(storyboard);
    auto mainView = std::make_shared<MainViewController>();
    mainView->setStoryboard(&storyboard);
    ASSERT_TRUE(Blacklist::shared().subscribers().empty());

    ASSERT_NE(mainView->view(), nullptr);

    // Each pane subscribes to the block list in its own viewDidLoad, so once the main view's
    // viewDidLoad has returned the subscriber list tells which panes loaded, and in which order.
    const auto& subscribers = Blacklist::shared().subscribers();
    ASSERT_EQ(subscribers.size(), 2u);
    const auto firewall = std::dynamic_pointer_cast<FirewallViewController>(subscribers.at(0));
    const auto monitor = std::dynamic_pointer_cast<MonitorViewController>(subscribers.at(1));
    ASSERT_TRUE(firewall) << "the first pane to load is the firewall pane";
    ASSERT_TRUE(monitor) << "the second pane to load is the monitor pane";
    EXPECT_EQ(firewall->tableView()->numberOfRows(), 1);

    QTabWidget* tabs = mainView->tabView();
    ASSERT_NE(tabs, nullptr);
    ASSERT_EQ(tabs->count(), 2);
    EXPECT_TRUE(tabs->widget(0)->isAncestorOf(firewall->view()));
    EXPECT_TRUE(tabs->widget(1)->isAncestorOf(monitor->view()));
    EXPECT_EQ(mainView->selectedTabIndex(), 0);
    EXPECT_EQ(tabs->currentIndex(), 0);
}

// As a user meets it: a program connects, the user blocks it in the monitor, it appears in the
// firewall pane and its name reaches the filter; removing it in the firewall pane sends the list
// again without it.
TEST_F(WholeApplicationTest, BlockFromTheMonitorThenRemoveInTheFirewallPane) {
    FakeKextFilter filter;
    Blacklist::shared().block(App::initWithIdentifier(QStringLiteral("curl")));
    const QString programPath = m_folder.filePath(QStringLiteral("quilvane-probe"));
    ASSERT_NO_FATAL_FAILURE(startProgram(programPath));
    launch();

    ASSERT_TRUE(filter.waitForCommands(1));
    EXPECT_EQ(lastNamesSent(filter), std::vector<std::string>{"curl"});
    ASSERT_TRUE(m_delegate->mainWindowController());
    Window* window = m_delegate->mainWindowController()->window();
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
    auto* tabs = window->findChild<QTabWidget*>();
    ASSERT_NE(tabs, nullptr);
    const auto firewall = subscribedPane<FirewallViewController>();
    const auto monitor = subscribedPane<MonitorViewController>();
    ASSERT_TRUE(firewall);
    ASSERT_TRUE(monitor);
    ASSERT_EQ(firewall->tableView()->numberOfRows(), 1);

    // The program connects; the monitor shows it.
    selectTab(*tabs, 1);
    ASSERT_EQ(tabs->currentIndex(), 1);
    ASSERT_EQ(filter.sendRecord(FakeKextFilter::record(1, static_cast<std::int32_t>(m_program.processId()),
                                                       "127.0.0.1", 8080)),
              1);
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return monitor->tableView()->numberOfRows() == 1; }));
    auto* monitorCell = qobject_cast<MonitorTableCellView*>(monitor->tableView()->viewAtColumn(0, 0, true));
    ASSERT_NE(monitorCell, nullptr);

    QTest::mouseClick(monitorCell->blockButton(), Qt::LeftButton);

    ASSERT_TRUE(filter.waitForCommands(2));
    EXPECT_EQ(lastNamesSent(filter), (std::vector<std::string>{"curl", "quilvane-probe"}));
    ASSERT_EQ(firewall->tableView()->numberOfRows(), 2);
    EXPECT_EQ(firewall->items().at(1).app()->identifier(), programPath);
    EXPECT_EQ(monitor->tableView()->numberOfRows(), 0);

    selectTab(*tabs, 0);
    ASSERT_EQ(tabs->currentIndex(), 0);
    auto* firewallCell =
        qobject_cast<FirewallTableCellView*>(firewall->tableView()->viewAtColumn(0, 1, true));
    ASSERT_NE(firewallCell, nullptr);
    QTest::mouseClick(firewallCell->removeButton(), Qt::LeftButton);

    ASSERT_TRUE(filter.waitForCommands(3));
    EXPECT_EQ(lastNamesSent(filter), std::vector<std::string>{"curl"});
    EXPECT_EQ(firewall->tableView()->numberOfRows(), 1);
    EXPECT_EQ(Blacklist::shared().identifiers(), QStringList{QStringLiteral("curl")});
}

// The monitor's tab has never been opened when a program that connected is blocked from the
// firewall pane (say by dropping it there): its monitor row fades out of a table never shown.
TEST_F(WholeApplicationTest, BlockingWhileTheMonitorTabWasNeverOpened) {
    FakeKextFilter filter;
    const QString programPath = m_folder.filePath(QStringLiteral("quilvane-probe"));
    ASSERT_NO_FATAL_FAILURE(startProgram(programPath));
    launch();
    ASSERT_TRUE(filter.waitForCommands(1));
    Window* window = m_delegate->mainWindowController()->window();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
    auto* tabs = window->findChild<QTabWidget*>();
    ASSERT_NE(tabs, nullptr);
    const auto firewall = subscribedPane<FirewallViewController>();
    const auto monitor = subscribedPane<MonitorViewController>();
    ASSERT_TRUE(firewall && monitor);

    ASSERT_EQ(filter.sendRecord(FakeKextFilter::record(1, static_cast<std::int32_t>(m_program.processId()),
                                                       "127.0.0.1", 8080)),
              1);
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return monitor->tableView()->numberOfRows() == 1; }));
    ASSERT_EQ(tabs->currentIndex(), 0);

    Blacklist::shared().block(App::initWithPath(programPath));

    EXPECT_EQ(monitor->tableView()->numberOfRows(), 0);
    EXPECT_EQ(firewall->tableView()->numberOfRows(), 1);
    ASSERT_TRUE(filter.waitForCommands(2));
    EXPECT_EQ(lastNamesSent(filter), std::vector<std::string>{"quilvane-probe"});
    selectTab(*tabs, 1);
    EXPECT_EQ(monitor->tableView()->viewAtColumn(0, 0, true), nullptr);
}

// The filter service stops while the window is open and comes back: the window is told, a block
// made meanwhile is kept, and the list holding it reaches the service within two seconds of its
// return, without restarting the application.
TEST_F(WholeApplicationTest, AChangeMadeWhileTheFilterIsAwayReachesItWhenItIsBack) {
    using namespace std::chrono_literals;
    Notices::shared().clearAll();
    FakeKextFilter filter;
    Blacklist::shared().block(App::initWithIdentifier(QStringLiteral("curl")));
    launch();
    ASSERT_TRUE(filter.waitForCommands(1));
    ASSERT_TRUE(QTest::qWaitForWindowExposed(m_delegate->mainWindowController()->window()));
    const QString service = QStringLiteral("service");

    filter.stop();
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return Notices::shared().contains(service); }));
    EXPECT_TRUE(Notices::shared().text(service).startsWith(QStringLiteral("The filter service stopped.")));
    Blacklist::shared().block(App::initWithIdentifier(QStringLiteral("wget")));
    const std::size_t sent = filter.commands().size();

    ASSERT_TRUE(filter.listen());
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return filter.commands().size() > sent; }, 2s));
    EXPECT_EQ(lastNamesSent(filter), (std::vector<std::string>{"curl", "wget"}));
    EXPECT_FALSE(Notices::shared().contains(service));
}

// A blocked program that keeps trying: the service refuses each attempt and says so, and the
// program's row in the firewall pane counts them, while the monitor shows no connection.
TEST_F(WholeApplicationTest, TheFirewallRowCountsTheAttemptsTheServiceRefused) {
    RefusedAttempts::shared().clearAll();
    FakeKextFilter filter;
    const QString programPath = m_folder.filePath(QStringLiteral("quilvane-probe"));
    ASSERT_NO_FATAL_FAILURE(startProgram(programPath));
    Blacklist::shared().block(App::initWithPath(programPath));
    launch();
    ASSERT_TRUE(filter.waitForCommands(1));
    ASSERT_TRUE(QTest::qWaitForWindowExposed(m_delegate->mainWindowController()->window()));
    const auto firewall = subscribedPane<FirewallViewController>();
    const auto monitor = subscribedPane<MonitorViewController>();
    ASSERT_TRUE(firewall && monitor);
    auto* cell = qobject_cast<FirewallTableCellView*>(firewall->tableView()->viewAtColumn(0, 0, true));
    ASSERT_NE(cell, nullptr);
    // The fake service never acknowledges a list, so the row says it waits; nothing refused yet.
    EXPECT_EQ(cell->refusedTextField()->text(), QStringLiteral("waiting for the filter service"));

    const auto pid = static_cast<std::int32_t>(m_program.processId());
    const std::string exe = programPath.toStdString();
    for (std::uint16_t port = 1; port <= 3; ++port) {
        ASSERT_EQ(
            filter.sendRecord(FakeKextFilter::extendedRecord(2, pid, "127.0.0.1", port, ::getuid(), exe)), 1);
    }

    ASSERT_TRUE(TestEnvironment::waitUntil([&] {
        return cell->refusedTextField()->text().contains(QStringLiteral("3 refused, last "));
    })) << cell->refusedTextField()->text().toStdString();
    EXPECT_TRUE(cell->refusedTextField()->isVisibleTo(cell));
    EXPECT_EQ(monitor->tableView()->numberOfRows(), 0) << "a refused attempt is no connection";
}
