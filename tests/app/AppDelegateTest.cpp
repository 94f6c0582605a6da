// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/AppDelegate.h"

#include "app/ErrorViewController.h"
#include "app/HighSierraViewController.h"
#include "app/MainViewController.h"
#include "app/UpdatePage.h"
#include "kernel/KextClient.h"
#include "model/Blacklist.h"
#include "platform/ProcessInfo.h"
#include "platform/Workspace.h"
#include "platform/widgets/WindowController.h"
#include "tests/app/ShellFixture.h"
#include "tests/support/FakeKextFilter.h"
#include "tests/support/TestEnvironment.h"

#include <QApplication>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QtTest/QSignalSpy>
#include <QtTest/QTest>
#include <algorithm>

using namespace std::chrono_literals;

namespace {

// Calls back when the watched widget receives its close event.
class CloseWatcher final : public QObject {
public:
    explicit CloseWatcher(std::function<void()> closing)
        : m_closing(std::move(closing)) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Close) {
            m_closing();
        }
        return QObject::eventFilter(watched, event);
    }

private:
    std::function<void()> m_closing;
};

class AppDelegateTest : public ShellFixture {
protected:
    Window* mainWindow() const {
        const auto& controller = m_delegate->mainWindowController();
        return controller && controller->isWindowLoaded() ? controller->window() : nullptr;
    }
    Window* guideWindow() const {
        const auto& controller = m_delegate->highSierraWindowController();
        return controller && controller->isWindowLoaded() ? controller->window() : nullptr;
    }
    long subscriptions() const {
        const auto& subscribers = Blacklist::shared().subscribers();
        return std::count_if(subscribers.begin(), subscribers.end(),
                             [this](const auto& subscriber) { return subscriber == m_delegate; });
    }
};

TEST_F(AppDelegateTest, ReachableFilterOpensTheMainWindowWithThePanes) {
    FakeKextFilter filter;
    launchApp();

    Window* window = mainWindow();
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(m_delegate->highSierraWindowController(), nullptr);
    EXPECT_NE(std::dynamic_pointer_cast<MainViewController>(window->contentViewController()), nullptr);
    EXPECT_EQ(window->titleVisibility(), Window::TitleVisibility::hidden);
    EXPECT_TRUE(window->windowTitle().isEmpty());
    EXPECT_TRUE(window->isMovableByWindowBackground());
    EXPECT_EQ(subscriptions(), 1);
    // Wider than the tests' screen by its resources: it still opens whole on it.
    EXPECT_TRUE(window->screen()->availableGeometry().contains(window->geometry()));
}

TEST_F(AppDelegateTest, TheListIsSentAtSubscriptionAndOncePerChange) {
    FakeKextFilter filter;
    launchApp();
    ASSERT_TRUE(filter.waitForCommands(1));

    const AppPtr app = App::initWithName(QStringLiteral("curl"), QStringLiteral("curl"), std::nullopt);
    Blacklist::shared().block(app);
    ASSERT_TRUE(filter.waitForCommands(2));
    Blacklist::shared().unblock(app);
    ASSERT_TRUE(filter.waitForCommands(3));
    TestEnvironment::spin(200ms);

    const std::vector<FakeKextFilter::Command> commands = filter.commands();
    ASSERT_EQ(commands.size(), 3u);
    EXPECT_TRUE(commands[0].payload.empty()) << "the empty list at subscription";
    EXPECT_FALSE(commands[1].payload.empty()) << "the list with curl";
    EXPECT_TRUE(commands[2].payload.empty()) << "the empty list again";
}

TEST_F(AppDelegateTest, UnreachableFilterNeedingApprovalOpensOnlyTheGuide) {
    FakeKextFilter filter(FakeKextFilter::Start::deferred);
    launchApp();

    ASSERT_NE(guideWindow(), nullptr);
    EXPECT_TRUE(guideWindow()->isVisible());
    EXPECT_EQ(m_delegate->mainWindowController(), nullptr);
    EXPECT_EQ(subscriptions(), 0);
    EXPECT_EQ(visibleWindows().size(), 1);
}

TEST_F(AppDelegateTest, UnreachableFilterWithoutApprovalShowsTheErrorView) {
    ProcessInfo::setFilterNeedsApprovalOverride(false);
    FakeKextFilter filter(FakeKextFilter::Start::deferred);
    launchApp();

    Window* window = mainWindow();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(m_delegate->highSierraWindowController(), nullptr);
    EXPECT_NE(std::dynamic_pointer_cast<ErrorViewController>(window->contentViewController()), nullptr);
    EXPECT_EQ(window->titleVisibility(), Window::TitleVisibility::visible);
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Quilvane"));
    EXPECT_TRUE(window->isMovableByWindowBackground());
    EXPECT_EQ(subscriptions(), 1);

    // No service at all: the view says so and offers no download, which would not help.
    auto errorView = std::dynamic_pointer_cast<ErrorViewController>(window->contentViewController());
    EXPECT_FALSE(errorView->title().contains(QStringLiteral("can’t reach")));
    EXPECT_TRUE(errorView->message().contains(QStringLiteral("not installed")) ||
                errorView->message().contains(QStringLiteral("not running")))
        << errorView->message().toStdString();
    auto* download = window->findChild<QPushButton*>(QStringLiteral("downloadButton"));
    ASSERT_NE(download, nullptr);
    EXPECT_TRUE(download->isHidden());

    // A service of another version: the download button and the menu item open the same update page.
    errorView->showServiceState(FilterServiceStatus::State::answering);
    EXPECT_TRUE(errorView->message().contains(QStringLiteral("not this version of Quilvane")));
    EXPECT_FALSE(download->isHidden());
    QTest::mouseClick(download, Qt::LeftButton);
    QAction* checkForUpdates = nullptr;
    for (QAction* action : window->findChild<QMenuBar*>()->findChildren<QAction*>()) {
        if (action->text() == QStringLiteral("Check for Updates…")) {
            checkForUpdates = action;
        }
    }
    ASSERT_NE(checkForUpdates, nullptr);
    checkForUpdates->trigger();
    ASSERT_EQ(m_openedURLs->size(), 2);
    EXPECT_EQ(m_openedURLs->at(0), updatePageURL());
    EXPECT_EQ(m_openedURLs->at(1), updatePageURL());
}

TEST_F(AppDelegateTest, TheGuideHandsOverToTheMainWindowOnceTheFilterAppears) {
    FakeKextFilter filter(FakeKextFilter::Start::deferred);
    launchApp();
    QPointer<Window> guide = guideWindow();
    ASSERT_TRUE(guide);

    // Whether the main window was already open when the guide's window closed.
    std::optional<bool> mainOpenWhenGuideClosed;
    CloseWatcher watcher(
        [&] { mainOpenWhenGuideClosed = mainWindow() != nullptr && mainWindow()->isVisible(); });
    guide->installEventFilter(&watcher);

    TestEnvironment::spin(1500ms);
    EXPECT_TRUE(guide && guide->isVisible()) << "the guide stays while the filter is away";
    ASSERT_TRUE(filter.listen());

    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return !guide && mainWindow(); }, 3000ms));
    ASSERT_TRUE(mainOpenWhenGuideClosed.has_value());
    EXPECT_TRUE(*mainOpenWhenGuideClosed);
    EXPECT_EQ(visibleWindows().size(), 1);

    // Exactly once: one subscription and one list sent, however long the guide's timer had run.
    TestEnvironment::spin(1500ms);
    EXPECT_EQ(subscriptions(), 1);
    EXPECT_EQ(filter.commands().size(), 1u);
}

TEST_F(AppDelegateTest, ClosingTheMainWindowQuitsTheApplication) {
    FakeKextFilter filter;
    launchApp();
    ASSERT_NE(mainWindow(), nullptr);
    ASSERT_TRUE(AppDelegate::applicationShouldTerminateAfterLastWindowClosed());
    QApplication::setQuitOnLastWindowClosed(AppDelegate::applicationShouldTerminateAfterLastWindowClosed());

    QTimer::singleShot(100ms, mainWindow(), &QWidget::close);
    // Not quitting would end the loop with 3 instead, after a generous wait.
    QTimer::singleShot(10s, qApp, [] { QCoreApplication::exit(3); });
    EXPECT_EQ(QApplication::exec(), 0);
}

TEST_F(AppDelegateTest, UpdatePageNamesTheVersionAndTheSystem) {
    const QString os = ProcessInfo::osVersionString();
    QCoreApplication::setApplicationVersion(QStringLiteral("1.2"));
    EXPECT_EQ(updatePageURL(),
              QUrl(QStringLiteral("https://quilvaneapp.com/update?version=1.2&os=") + os, QUrl::StrictMode));

    QCoreApplication::setApplicationVersion(QString());
    EXPECT_EQ(appVersionString(), QStringLiteral("unknown"));
    EXPECT_EQ(updatePageURL()->toString(),
              QStringLiteral("https://quilvaneapp.com/update?version=unknown&os=") + os);

    // A version that makes no valid address opens nothing.
    QCoreApplication::setApplicationVersion(QStringLiteral("1 beta%"));
    EXPECT_EQ(updatePageURL(), std::nullopt);
    m_delegate->checkForUpdatesMenuClicked();
    EXPECT_TRUE(m_openedURLs->isEmpty());

    QCoreApplication::setApplicationVersion(QStringLiteral("0.1.0"));
    m_delegate->checkForUpdatesMenuClicked();
    ASSERT_EQ(m_openedURLs->size(), 1);
    EXPECT_EQ(m_openedURLs->first().query(), QStringLiteral("version=0.1.0&os=") + os);
    QCoreApplication::setApplicationVersion(QString());
}

TEST_F(AppDelegateTest, AboutNamesTheVersionTheLicenceAndTheServicesState) {
    const auto aboutText = [this] {
        QAction* about = nullptr;
        for (QAction* action : mainWindow()->findChild<QMenuBar*>()->findChildren<QAction*>()) {
            if (action->text() == QStringLiteral("&About Quilvane")) {
                about = action;
            }
        }
        EXPECT_NE(about, nullptr);
        if (!about) {
            return QString();
        }
        about->trigger();
        auto* panel = QApplication::activeModalWidget() ? nullptr : mainWindow()->findChild<QMessageBox*>();
        EXPECT_NE(panel, nullptr) << "open over the main window, and not modal";
        const QString text = panel ? panel->text() : QString();
        if (panel) {
            panel->close();
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        }
        return text;
    };
    {
        FakeKextFilter filter;
        launchApp();
        ASSERT_TRUE(TestEnvironment::waitUntil([] { return KextClient::shared().admittedByService(); }));
        const QString text = aboutText();
        EXPECT_TRUE(text.startsWith(QStringLiteral("Quilvane " QUILVANE_VERSION))) << text.toStdString();
        EXPECT_TRUE(text.contains(QStringLiteral("Licence: "))) << text.toStdString();
        EXPECT_TRUE(text.contains(QStringLiteral("Filter service: connected."))) << text.toStdString();
    }
    KextClient::resetShared();
    // Blocks the service put in force outlive it, as the notice bar says: About must not deny it.
    const QString away = aboutText();
    EXPECT_TRUE(away.contains(QStringLiteral("Filter service: not connected"))) << away.toStdString();
    EXPECT_TRUE(away.contains(QStringLiteral("stay in force"))) << away.toStdString();
    EXPECT_FALSE(away.contains(QStringLiteral("nothing is blocked"))) << away.toStdString();
}

// About opened from the guide belongs to the guide: closing the guide still ends the application.
TEST_F(AppDelegateTest, AboutFromTheGuideDoesNotKeepTheApplicationRunning) {
    FakeKextFilter filter(FakeKextFilter::Start::deferred);
    launchApp();
    ASSERT_NE(guideWindow(), nullptr);
    for (QAction* action : guideWindow()->findChild<QMenuBar*>()->findChildren<QAction*>()) {
        if (action->text() == QStringLiteral("&About Quilvane")) {
            action->trigger();
        }
    }
    QPointer<QMessageBox> panel = guideWindow()->findChild<QMessageBox*>();
    ASSERT_FALSE(panel.isNull()) << "over the guide, owned by it";
    ASSERT_TRUE(QTest::qWaitForWindowExposed(panel));
    QApplication::setQuitOnLastWindowClosed(true);

    QTimer::singleShot(100ms, guideWindow(), &QWidget::close);
    QTimer::singleShot(10s, qApp, [] { QCoreApplication::exit(3); });
    EXPECT_EQ(QApplication::exec(), 0);
    EXPECT_TRUE(panel.isNull() || !panel->isVisible());
}

TEST_F(AppDelegateTest, TheGuideHasTheMenuAndAMissingBrowserShowsTheAddress) {
    FakeKextFilter filter(FakeKextFilter::Start::deferred);
    launchApp();
    ASSERT_NE(guideWindow(), nullptr);
    auto* menuBar = guideWindow()->findChild<QMenuBar*>();
    ASSERT_NE(menuBar, nullptr) << "Check for Updates… and Quit while the guide is shown";
    QStringList titles;
    for (QAction* action : menuBar->findChildren<QAction*>()) {
        titles.append(action->text());
    }
    EXPECT_TRUE(titles.contains(QStringLiteral("Check for Updates…")));
    EXPECT_TRUE(titles.contains(QStringLiteral("&Quit Quilvane")));

    // The desktop opens no browser: the address is shown to copy instead of nothing at all.
    Workspace::setUrlOpener([](const QUrl&) { return false; });
    QPointer<QMessageBox> notice = openUpdatePage();
    ASSERT_FALSE(notice.isNull());
    EXPECT_TRUE(notice->isVisible());
    EXPECT_EQ(notice->informativeText(), updatePageURL()->toString());
    EXPECT_FALSE(notice->testAttribute(Qt::WA_QuitOnClose));
    notice->close();
}

} // namespace
