// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/MainViewController.h"

#include "app/LogoImageView.h"
#include "app/MainWindowController.h"
#include "kernel/KextClient.h"
#include "platform/widgets/Storyboard.h"
#include "platform/widgets/Window.h"
#include "resources/SceneIdentifiers.h"
#include "tests/support/FakeKextFilter.h"
#include "tests/support/QtPrinters.h"

#include <QApplication>
#include <QLabel>
#include <QTabWidget>
#include <QtTest/QSignalSpy>
#include <QtTest/QTest>
#include <gtest/gtest.h>

namespace {

// A pane as the main view sees one: a view controller that notes when its view has loaded.
class RecordingPane final : public ViewController {
public:
    RecordingPane(QString name, std::shared_ptr<QStringList> loads)
        : m_name(std::move(name))
        , m_loads(std::move(loads)) {}

protected:
    QWidget* loadView() override {
        auto* view = new QLabel(m_name);
        view->setObjectName(m_name);
        return view;
    }
    void viewDidLoad() override { m_loads->append(m_name); }

private:
    QString m_name;
    std::shared_ptr<QStringList> m_loads;
};

class MainViewControllerTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_storyboard.registerScene(SceneIdentifiers::firewallViewController(), [loads = m_loads] {
            return std::make_shared<RecordingPane>(QStringLiteral("firewall"), loads);
        });
        m_storyboard.registerScene(SceneIdentifiers::monitorViewController(), [loads = m_loads] {
            return std::make_shared<RecordingPane>(QStringLiteral("monitor"), loads);
        });
    }

    std::shared_ptr<MainViewController> makeMainView(Storyboard* storyboard) {
        auto controller = std::make_shared<MainViewController>();
        controller->setStoryboard(storyboard);
        return controller;
    }

    Storyboard m_storyboard{QStringLiteral("Main")};
    std::shared_ptr<QStringList> m_loads = std::make_shared<QStringList>();
};

TEST_F(MainViewControllerTest, LoadsBothPanesIntoTheirTabsFirewallFirst) {
    const auto controller = makeMainView(&m_storyboard);
    QWidget* view = controller->view();
    ASSERT_NE(view, nullptr);

    EXPECT_EQ(*m_loads, QStringList({QStringLiteral("firewall"), QStringLiteral("monitor")}));
    QTabWidget* tabs = controller->tabView();
    ASSERT_NE(tabs, nullptr);
    ASSERT_EQ(tabs->count(), 2);
    EXPECT_EQ(tabs->tabText(0), QStringLiteral("Firewall"));
    EXPECT_NE(tabs->widget(0)->findChild<QLabel*>(QStringLiteral("firewall")), nullptr);
    EXPECT_NE(tabs->widget(1)->findChild<QLabel*>(QStringLiteral("monitor")), nullptr);
    EXPECT_EQ(controller->selectedTabIndex(), 0);
    EXPECT_EQ(tabs->currentIndex(), 0);

    // Nothing else holds these panes: the main view keeps them while it shows them.
    ASSERT_NE(controller->firewallViewController(), nullptr);
    ASSERT_NE(controller->monitorViewController(), nullptr);
    EXPECT_EQ(controller->firewallViewController()->view()->objectName(), QStringLiteral("firewall"));
    EXPECT_EQ(controller->monitorViewController()->view()->objectName(), QStringLiteral("monitor"));
}

TEST_F(MainViewControllerTest, SelectedTabIndexFollowsTheTabsBothWays) {
    const auto controller = makeMainView(&m_storyboard);
    controller->view();
    QSignalSpy changes(controller.get(), &MainViewController::selectedTabIndexChanged);

    controller->tabView()->setCurrentIndex(1);
    EXPECT_EQ(controller->selectedTabIndex(), 1);
    controller->setProperty("selectedTabIndex", qint64(0));
    EXPECT_EQ(controller->tabView()->currentIndex(), 0);
    controller->setSelectedTabIndex(7);
    EXPECT_EQ(controller->tabView()->currentIndex(), 0) << "no such tab";
    EXPECT_EQ(changes.count(), 3);
}

TEST_F(MainViewControllerTest, APaneTheStoryboardCannotMakeLeavesANote) {
    Storyboard bare(QStringLiteral("Main"));
    const auto controller = makeMainView(&bare);
    controller->view();
    EXPECT_NE(controller->tabView()->widget(0)->findChild<QLabel*>(
                  QStringLiteral("firewallViewControllerPlaceholder")),
              nullptr);
    EXPECT_NE(controller->tabView()->widget(1)->findChild<QLabel*>(
                  QStringLiteral("monitorViewControllerPlaceholder")),
              nullptr);
}

TEST_F(MainViewControllerTest, DraggingTheLogoMovesTheWindow) {
    FakeKextFilter filter;
    KextClient::resetShared();
    ASSERT_TRUE(KextClient::shared().connectIfNeeded());
    m_storyboard.registerScene(SceneIdentifiers::mainWindowController(),
                               [] { return std::make_shared<MainWindowController>(); });
    const auto windowController =
        m_storyboard.instantiate<WindowController>(SceneIdentifiers::mainWindowController());
    Window* window = windowController->window();
    windowController->showWindow();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
    auto* logo = window->findChild<LogoImageView*>();
    ASSERT_NE(logo, nullptr);
    EXPECT_FALSE(logo->pixmap().isNull());

    QSignalSpy moves(window, &Window::systemMoveStarted);
    const QPoint from(5, 5);
    const QPoint to = from + QPoint(QApplication::startDragDistance() + 2, 0);
    QTest::mousePress(logo, Qt::LeftButton, {}, from);
    QTest::mouseMove(logo, to);
    QTest::mouseRelease(logo, Qt::LeftButton, {}, to);
    EXPECT_EQ(moves.count(), 1);
    window->close();
    KextClient::resetShared();
}

} // namespace
