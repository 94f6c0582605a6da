// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/HighSierraViewController.h"

#include "app/AppDelegate.h"
#include "app/SystemSettingsHandler.h"
#include "platform/Dispatch.h"
#include "platform/Workspace.h"
#include "platform/widgets/Storyboard.h"
#include "platform/widgets/WindowController.h"
#include "resources/SceneIdentifiers.h"
#include "tests/app/ShellFixture.h"
#include "tests/support/FakeKextFilter.h"
#include "tests/support/TestEnvironment.h"

#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QThreadPool>
#include <QTimer>
#include <QtTest/QSignalSpy>
#include <QtTest/QTest>
#include <atomic>
#include <thread>

using namespace std::chrono_literals;

namespace {

class HighSierraViewControllerTest : public ShellFixture {
protected:
    void SetUp() override {
        ShellFixture::SetUp();
        m_windowController =
            storyboard().instantiate<WindowController>(SceneIdentifiers::highSierraWindowController());
        ASSERT_NE(m_windowController, nullptr);
        m_window = m_windowController->window();
        ASSERT_NE(m_window, nullptr);
        m_guide = std::dynamic_pointer_cast<HighSierraViewController>(m_window->contentViewController());
        ASSERT_NE(m_guide, nullptr);
        m_windowController->showWindow();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(m_window));
    }

    std::shared_ptr<WindowController> m_windowController;
    QPointer<Window> m_window;
    std::shared_ptr<HighSierraViewController> m_guide;
};

TEST_F(HighSierraViewControllerTest, WindowChrome) {
    EXPECT_EQ(m_window->titleVisibility(), Window::TitleVisibility::hidden);
    EXPECT_TRUE(m_window->titlebarAppearsTransparent());
    EXPECT_TRUE(m_window->isMovableByWindowBackground());
    EXPECT_TRUE(m_guide->screenshot()->autoFillBackground());
    EXPECT_EQ(m_guide->screenshot()->palette().color(QPalette::Window),
              QColor::fromRgbF(0.84f, 0.84f, 0.84f));
    EXPECT_FALSE(m_guide->screenshot()->pixmap().isNull()) << "the guide's picture is in the resources";
}

TEST_F(HighSierraViewControllerTest, ThePictureTheLabelAndTheButtonOpenTheSettings) {
    const QUrl settings(QStringLiteral("x-apple.systempreferences:com.apple.preference.security?General"));
    QTest::mouseClick(m_guide->screenshot(), Qt::LeftButton);
    ASSERT_EQ(m_openedURLs->size(), 1);
    EXPECT_EQ(m_openedURLs->last(), settings);

    QTest::mouseClick(m_guide->preferencePathLabel(), Qt::LeftButton);
    ASSERT_EQ(m_openedURLs->size(), 2);
    EXPECT_EQ(m_openedURLs->last(), settings);

    QTest::mouseClick(m_window->findChild<QPushButton*>(QStringLiteral("preferencesButton")), Qt::LeftButton);
    ASSERT_EQ(m_openedURLs->size(), 3);
    EXPECT_EQ(m_openedURLs->last(), settings);

    // Only the left button opens them.
    QTest::mouseClick(m_guide->screenshot(), Qt::RightButton);
    QTest::mouseClick(m_guide->preferencePathLabel(), Qt::MiddleButton);
    EXPECT_EQ(m_openedURLs->size(), 3);
}

TEST_F(HighSierraViewControllerTest, TheBackgroundAndTheLogoMoveTheWindow) {
    QSignalSpy moves(m_window.data(), &Window::systemMoveStarted);
    // Press on the background (and on the logo) and drag a few pixels with the button held.
    const auto drag = [&](QWidget* widget, QPoint at) {
        QTest::mousePress(widget, Qt::LeftButton, {}, at);
        QMouseEvent move(QEvent::MouseMove, QPointF(at + QPoint(12, 12)),
                         widget->mapToGlobal(QPointF(at + QPoint(12, 12))), Qt::NoButton, Qt::LeftButton,
                         Qt::NoModifier);
        QApplication::sendEvent(widget, &move);
        QTest::mouseRelease(widget, Qt::LeftButton, {}, at + QPoint(12, 12));
    };
    drag(m_guide->view(), QPoint(2, 2));
    EXPECT_EQ(moves.count(), 1) << "the guide's view no longer swallows presses on its background";
    drag(m_window->findChild<QLabel*>(QStringLiteral("logo")), QPoint(5, 5));
    EXPECT_EQ(moves.count(), 2);
    EXPECT_TRUE(m_openedURLs->isEmpty());
}

TEST_F(HighSierraViewControllerTest, SaysWhyTheServiceCannotBeUsedAndOffersTheCommand) {
    m_guide->setCheck([] { return true; });
    m_guide->setDiagnosis([] { return FilterServiceStatus::State::refused; });
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return m_guide->serviceState().has_value(); }, 3000ms));
    // A service that answers but refuses this user must not end the guide.
    TestEnvironment::spin(1500ms);
    EXPECT_TRUE(m_window && m_window->isVisible());
    EXPECT_EQ(m_delegate->mainWindowController(), nullptr);

    auto* title = m_window->findChild<QLabel*>(QStringLiteral("titleLabel"));
    EXPECT_EQ(title->text(), QStringLiteral("The filter service does not let you in"));
    const QString command =
        QStringLiteral("sudo usermod -aG quilvane ") + FilterServiceStatus::currentUserName();
    EXPECT_EQ(m_guide->commandField()->text(), command);
    EXPECT_TRUE(m_guide->commandField()->isReadOnly());
    EXPECT_TRUE(m_window->findChild<QPushButton*>(QStringLiteral("preferencesButton"))->isHidden())
        << "starting the service does not help a refused user";
    QTest::mouseClick(m_window->findChild<QPushButton*>(QStringLiteral("copyButton")), Qt::LeftButton);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), command);
    EXPECT_EQ(m_window->findChild<QPushButton*>(QStringLiteral("copyButton"))->text(),
              QStringLiteral("Copied"));

    // Each check is one more refusal in the service's log: they come ever less often.
    EXPECT_GE(m_guide->kextPoller()->interval(), 5000);

    // The service stops: the guide says so, offers to start it, and checks every second again.
    m_guide->setDiagnosis([] { return FilterServiceStatus::State::notRunning; });
    m_guide->pollKext();
    ASSERT_TRUE(TestEnvironment::waitUntil(
        [&] { return m_guide->serviceState() == FilterServiceStatus::State::notRunning; }, 3000ms));
    EXPECT_EQ(m_guide->commandField()->text(),
              QStringLiteral("sudo systemctl enable --now quilvane-filterd.service"));
    EXPECT_FALSE(m_window->findChild<QPushButton*>(QStringLiteral("preferencesButton"))->isHidden());
    EXPECT_EQ(m_guide->kextPoller()->interval(), 1000);
}

// The launch has looked at the service already: the guide's first frame says what it found, before
// any check of its own, never the form's fixed text.
TEST_F(HighSierraViewControllerTest, TheFirstFrameSaysWhatTheLaunchFound) {
    launchApp(); // no service in the fixture's control folder
    const auto launched = m_delegate->launchServiceState();
    ASSERT_TRUE(launched.has_value());
    ASSERT_NE(m_delegate->highSierraWindowController(), nullptr);
    auto guide = std::dynamic_pointer_cast<HighSierraViewController>(
        m_delegate->highSierraWindowController()->window()->contentViewController());
    ASSERT_NE(guide, nullptr);
    EXPECT_EQ(guide->checksStarted(), 0);
    EXPECT_EQ(guide->serviceState(), launched);
    const QString title = guide->view()->findChild<QLabel*>(QStringLiteral("titleLabel"))->text();
    EXPECT_EQ(title, FilterServiceStatus::advice(*launched, FilterServiceStatus::currentUserName()).title);
}

// A refused user needs an administrator and a new login: the guide neither promises to close by
// itself nor says it is waiting for a service that is running.
TEST_F(HighSierraViewControllerTest, ARefusedUserIsNotToldTheWindowClosesByItself) {
    m_guide->showServiceState(FilterServiceStatus::State::refused);
    const QString footnote = m_window->findChild<QLabel*>(QStringLiteral("sourceLabel"))->text();
    const QString status = m_window->findChild<QLabel*>(QStringLiteral("statusLabel"))->text();
    EXPECT_FALSE(footnote.contains(QStringLiteral("closes by itself"))) << footnote.toStdString();
    EXPECT_EQ(status, QStringLiteral("The filter service is running and does not let you in."));

    m_guide->showServiceState(FilterServiceStatus::State::notRunning);
    EXPECT_TRUE(m_window->findChild<QLabel*>(QStringLiteral("sourceLabel"))
                    ->text()
                    .contains(QStringLiteral("closes by itself")));
    EXPECT_EQ(m_window->findChild<QLabel*>(QStringLiteral("statusLabel"))->text(),
              QStringLiteral("Waiting for the filter service…"));
}

TEST_F(HighSierraViewControllerTest, TheSettingsDialogBelongsToTheGuide) {
    SystemSettingsHandler handler(QStringList{});
    handler.install();
    Workspace::setUrlOpener({});
    QTest::mouseClick(m_window->findChild<QPushButton*>(QStringLiteral("preferencesButton")), Qt::LeftButton);
    QPointer<QMessageBox> dialog = handler.dialog();
    ASSERT_FALSE(dialog.isNull());
    EXPECT_EQ(dialog->parentWidget(), m_window.data());
    EXPECT_FALSE(dialog->testAttribute(Qt::WA_QuitOnClose)) << "the dialog never keeps Quilvane running";

    // Closing the guide closes its dialog.
    m_window->close();
    EXPECT_TRUE(dialog.isNull() || !dialog->isVisible());

    // Handing over to the main window takes the dialog away too.
    m_windowController->showWindow();
    QTest::mouseClick(m_window->findChild<QPushButton*>(QStringLiteral("preferencesButton")), Qt::LeftButton);
    dialog = handler.dialog();
    ASSERT_FALSE(dialog.isNull());
    ASSERT_TRUE(dialog->isVisible());
    FakeKextFilter filter;
    m_guide->kextWasLoaded();
    EXPECT_TRUE(dialog.isNull() || !dialog->isVisible());
}

TEST_F(HighSierraViewControllerTest, StaysOpenAndChecksOnceASecondWhileTheFilterIsAway) {
    FakeKextFilter filter(FakeKextFilter::Start::deferred);
    ASSERT_NE(m_guide->kextPoller(), nullptr);
    EXPECT_EQ(m_guide->kextPoller()->interval(), 1000);
    EXPECT_TRUE(m_guide->kextPoller()->isActive());
    EXPECT_EQ(m_guide->checksStarted(), 0) << "the first check comes one interval after loading";

    TestEnvironment::spin(2500ms);
    EXPECT_GE(m_guide->checksStarted(), 1);
    EXPECT_LE(m_guide->checksStarted(), 3);
    EXPECT_TRUE(m_window && m_window->isVisible());
    EXPECT_EQ(m_delegate->mainWindowController(), nullptr);
}

TEST_F(HighSierraViewControllerTest, ASlowCheckIsNeverOverlappedByTheNextTick) {
    std::atomic<int> running{0};
    std::atomic<int> mostAtOnce{0};
    std::atomic<int> calls{0};
    m_guide->setDiagnosis([] { return FilterServiceStatus::State::answering; });
    m_guide->setCheck([&] {
        const int now = ++running;
        mostAtOnce = std::max(mostAtOnce.load(), now);
        ++calls;
        std::this_thread::sleep_for(1600ms);
        --running;
        return false;
    });
    TestEnvironment::spin(3400ms);
    Dispatch::backgroundPool().waitForDone();
    EXPECT_EQ(mostAtOnce.load(), 1);
    EXPECT_GE(calls.load(), 1);
    EXPECT_LE(calls.load(), 2) << "ticks that found a check running were skipped";
    EXPECT_EQ(calls.load(), m_guide->checksStarted());
}

TEST_F(HighSierraViewControllerTest, TheEndTakesEffectOnceEvenIfTwoChecksSucceed) {
    FakeKextFilter filter;
    m_guide->kextWasLoaded();
    m_guide->kextWasLoaded();
    EXPECT_EQ(m_guide->kextPoller(), nullptr);
    ASSERT_NE(m_delegate->mainWindowController(), nullptr);
    EXPECT_TRUE(m_delegate->mainWindowController()->window()->isVisible());
    ASSERT_TRUE(filter.waitForCommands(1));
    TestEnvironment::spin(100ms);
    EXPECT_EQ(filter.commands().size(), 1u) << "one launch, one subscription";
    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return m_window.isNull(); }));
}

// The check found the service answering, but it closed the connection before the launch could use
// it (a user's ninth client, say): no main window opens, so the guide must stay, or the application
// would end without a word.
TEST_F(HighSierraViewControllerTest, AHandOverThatOpensNoMainWindowKeepsTheGuide) {
    FakeKextFilter filter(FakeKextFilter::Start::deferred);
    m_guide->kextWasLoaded();

    EXPECT_FALSE(m_delegate->mainWindowShown());
    ASSERT_TRUE(m_window);
    EXPECT_TRUE(m_window->isVisible());
    ASSERT_NE(m_guide->kextPoller(), nullptr);
    EXPECT_TRUE(m_guide->kextPoller()->isActive()) << "it goes on checking";

    ASSERT_TRUE(filter.listen());
    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return m_window.isNull(); }, 3000ms));
    EXPECT_TRUE(m_delegate->mainWindowShown());
}

TEST_F(HighSierraViewControllerTest, AFilterReachableAtLoadingEndsTheGuideAtTheFirstCheck) {
    FakeKextFilter filter;
    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return m_window.isNull(); }, 3000ms));
    EXPECT_EQ(m_guide->checksStarted(), 1);
    ASSERT_NE(m_delegate->mainWindowController(), nullptr);
}

TEST_F(HighSierraViewControllerTest, ClosingTheGuideWhilePollingQuits) {
    QApplication::setQuitOnLastWindowClosed(true);
    QTimer::singleShot(100ms, m_window.data(), &QWidget::close);
    QTimer::singleShot(10s, qApp, [] { QCoreApplication::exit(3); });
    EXPECT_EQ(QApplication::exec(), 0);
}

} // namespace
