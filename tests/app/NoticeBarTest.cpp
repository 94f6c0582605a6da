// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/NoticeBar.h"

#include "app/AppDelegate.h"
#include "model/Notices.h"
#include "platform/widgets/ViewController.h"
#include "platform/widgets/Window.h"
#include "platform/widgets/WindowController.h"
#include "tests/app/ShellFixture.h"
#include "tests/support/FakeKextFilter.h"
#include "tests/support/QtPrinters.h"

#include <QApplication>
#include <QToolButton>
#include <QtTest/QTest>
#include <gtest/gtest.h>

namespace {

class NoticeBarTest : public ShellFixture {
protected:
    void SetUp() override {
        ShellFixture::SetUp();
        Notices::shared().clearAll();
    }
    void TearDown() override {
        Notices::shared().clearAll();
        ShellFixture::TearDown();
    }
};

TEST_F(NoticeBarTest, ShowsEveryNoticeAboveTheTabsAndHidesWhenThereIsNone) {
    // Raised before the window exists, as start-up does.
    Notices::shared().set(QStringLiteral("first"), QStringLiteral("The settings were restored."));
    FakeKextFilter filter;
    launchApp();
    Window* window = m_delegate->mainWindowController()->window();
    ASSERT_NE(window, nullptr);
    auto* bar = window->findChild<NoticeBar*>();
    ASSERT_NE(bar, nullptr);
    QApplication::processEvents();

    EXPECT_TRUE(bar->isVisible());
    EXPECT_EQ(bar->texts(), QStringList{QStringLiteral("The settings were restored.")});
    QWidget* content = window->contentViewController()->view();
    EXPECT_LE(bar->geometry().bottom(), content->geometry().top()) << "the bar sits above the tabs";

    Notices::shared().set(QStringLiteral("service"), QStringLiteral("The filter service <b>stopped</b>."));
    EXPECT_EQ(bar->texts(), QStringList({QStringLiteral("The settings were restored."),
                                         QStringLiteral("The filter service <b>stopped</b>.")}));

    // The user dismisses a notice: it goes until it says something new.
    QApplication::processEvents();
    QList<QToolButton*> dismissButtons;
    for (QToolButton* button : bar->findChildren<QToolButton*>(QStringLiteral("dismissNoticeButton"))) {
        if (button->isVisibleTo(bar)) {
            dismissButtons.append(button);
        }
    }
    ASSERT_EQ(dismissButtons.size(), 2);
    QTest::mouseClick(dismissButtons.at(1), Qt::LeftButton);
    EXPECT_EQ(bar->texts(), QStringList{QStringLiteral("The settings were restored.")});
    Notices::shared().set(QStringLiteral("service"), QStringLiteral("The filter service <b>stopped</b>."));
    EXPECT_EQ(bar->texts().size(), 1) << "the same text again stays dismissed";
    Notices::shared().set(QStringLiteral("service"), QStringLiteral("The filter service is back."));
    EXPECT_EQ(bar->texts().size(), 2);

    Notices::shared().clear(QStringLiteral("first"));
    Notices::shared().clear(QStringLiteral("service"));
    EXPECT_FALSE(bar->isVisible());
    EXPECT_TRUE(bar->texts().isEmpty());
}

} // namespace
