// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/widgets/Popover.h"

#include "platform/widgets/ViewController.h"
#include "tests/support/TestEnvironment.h"

#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

namespace {

class ListController final : public ViewController {
    Q_OBJECT
protected:
    QWidget* loadView() override {
        auto* list = new QLabel(QStringLiteral("connections"));
        list->setFixedSize(200, 120);
        return list;
    }
};

class PopoverTest : public ::testing::Test {
protected:
    void SetUp() override {
        window.resize(300, 200);
        button = new QPushButton(QStringLiteral("12"), &window);
        button->setGeometry(100, 20, 60, 24);
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    }

    // A popover as the monitor pane opens one: transient, new content, anchored to the button.
    QPointer<Popover> open(std::weak_ptr<ListController>* content = nullptr) {
        auto controller = std::make_shared<ListController>();
        if (content) {
            *content = controller;
        }
        auto* popover = new Popover;
        popover->setBehavior(Popover::Behavior::transient);
        popover->setContentViewController(controller);
        popover->showRelativeToRect({}, button, Popover::RectEdge::maxY);
        return popover;
    }

    QRect buttonOnScreen() const { return {button->mapToGlobal(QPoint(0, 0)), button->size()}; }

    QWidget window;
    QPushButton* button = nullptr;
};

TEST_F(PopoverTest, opensBelowTheButtonCentredOnIt) {
    QPointer<Popover> popover = open();
    ASSERT_TRUE(popover->isVisible());
    EXPECT_EQ(Popover::lastShown(), popover);
    EXPECT_EQ(popover->positioningView(), button);
    EXPECT_TRUE(popover->contentViewController()->isViewLoaded());

    const QRect anchor = buttonOnScreen();
    const QRect placed = popover->frameGeometry();
    EXPECT_GT(placed.top(), anchor.bottom());
    EXPECT_LT(placed.top(), anchor.bottom() + 20);
    EXPECT_NEAR(placed.center().x(), anchor.center().x(), 1);
    popover->close();
}

TEST_F(PopoverTest, opensAboveWhenThereIsNoRoomBelow) {
    const QRect screen = window.screen()->availableGeometry();
    window.move(screen.left() + 50, screen.bottom() - window.height() - 10);
    button->move(100, window.height() - 30);
    QPointer<Popover> popover = open();
    const QRect anchor = buttonOnScreen();
    EXPECT_LT(popover->frameGeometry().bottom(), anchor.top());
    EXPECT_TRUE(screen.contains(popover->frameGeometry()));
    popover->close();
}

TEST_F(PopoverTest, hasABorderAndStaysWholeOnTheScreenAtItsEdge) {
    const QRect screen = window.screen()->availableGeometry();
    window.move(screen.right() - window.width() + 1, screen.top() + 40);
    button->move(window.width() - button->width(), 20);
    QPointer<Popover> popover = open();
    EXPECT_TRUE(screen.contains(popover->frameGeometry()))
        << popover->frameGeometry().x() << "," << popover->frameGeometry().y() << " "
        << popover->frameGeometry().width() << "x" << popover->frameGeometry().height() << " screen "
        << screen.width() << "x" << screen.height() << " button " << buttonOnScreen().x();

    const QImage picture = popover->grab().toImage();
    const QColor border = popover->palette().color(QPalette::Dark);
    ASSERT_NE(border, popover->palette().color(QPalette::Window));
    EXPECT_EQ(picture.pixel(0, picture.height() / 2), border.rgb());
    EXPECT_EQ(picture.pixel(picture.width() - 1, 1), border.rgb());
    EXPECT_EQ(picture.pixel(2, 2), popover->palette().color(QPalette::Window).rgb());
    popover->close();
}

TEST_F(PopoverTest, aClickOutsideClosesItAndReleasesItsContent) {
    std::weak_ptr<ListController> content;
    QPointer<Popover> popover = open(&content);
    QSignalSpy closed(popover.data(), &Popover::closed);
    ASSERT_FALSE(content.expired()) << "the popover owns its content";

    // Through the window system, as a real click arrives, so that the popup sees it first.
    QTest::mouseClick(window.windowHandle(), Qt::LeftButton, {}, QPoint(5, 190));
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return popover.isNull(); }));
    EXPECT_EQ(closed.count(), 1);
    EXPECT_TRUE(content.expired());
    EXPECT_EQ(Popover::lastShown(), nullptr);
}

TEST_F(PopoverTest, aClickInsideKeepsItOpen) {
    QPointer<Popover> popover = open();
    QTest::mouseClick(popover->windowHandle(), Qt::LeftButton, {}, QPoint(10, 10));
    TestEnvironment::spin(std::chrono::milliseconds(50));
    ASSERT_FALSE(popover.isNull());
    EXPECT_TRUE(popover->isVisible());
    popover->close();
}

} // namespace

#include "PopoverTest.moc"
