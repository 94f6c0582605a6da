// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/widgets/Window.h"

#include "platform/widgets/ViewController.h"
#include "tests/support/QtPrinters.h"

#include <QApplication>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QScrollArea>
#include <QSignalSpy>
#include <QTest>
#include <QVBoxLayout>
#include <gtest/gtest.h>

namespace {

// A content view as the application's panes have: a plain container with a label, a button and a
// scroll area whose content is a label, as a table's cells are.
class PaneController final : public ViewController {
    Q_OBJECT
public:
    QPointer<QLabel> label;
    QPointer<QPushButton> button;
    QPointer<QLabel> labelInList;

protected:
    QWidget* loadView() override {
        auto* pane = new QWidget;
        auto* layout = new QVBoxLayout(pane);
        label = new QLabel(QStringLiteral("artwork"), pane);
        button = new QPushButton(QStringLiteral("press"), pane);
        auto* list = new QScrollArea(pane);
        labelInList = new QLabel(QStringLiteral("a row"));
        list->setWidget(labelInList);
        layout->addWidget(label);
        layout->addWidget(button);
        layout->addWidget(list);
        layout->addStretch();
        return pane;
    }
};

// A press, a move by `distance` pixels with the button held, and a release, all sent to `widget`
// as the window system sends them to the widget under the press.
void drag(QWidget* widget, QPoint from, int distance) {
    QTest::mousePress(widget, Qt::LeftButton, {}, from);
    QTest::mouseMove(widget, from + QPoint(distance, 0));
    QTest::mouseRelease(widget, Qt::LeftButton, {}, from + QPoint(distance, 0));
}

void flushDeferredDeletes() {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

TEST(WindowTest, contentViewFillsTheWindowAndAReplacementReleasesTheOldContent) {
    Window window;
    window.resize(400, 300);
    window.show();

    auto first = std::make_shared<PaneController>();
    window.setContentViewController(first);
    QPointer<QWidget> firstView = first->view();
    ASSERT_FALSE(firstView.isNull());
    EXPECT_EQ(firstView->parentWidget(), &window);
    EXPECT_EQ(firstView->geometry(), window.rect());

    std::weak_ptr<PaneController> released = first;
    first.reset();
    auto second = std::make_shared<PaneController>();
    window.setContentViewController(second);
    EXPECT_EQ(window.contentViewController(), second);
    EXPECT_TRUE(second->view()->isVisible());
    flushDeferredDeletes();
    EXPECT_TRUE(firstView.isNull());
    EXPECT_TRUE(released.expired());

    QPointer<QWidget> secondView = second->view();
    window.setContentViewController(nullptr);
    flushDeferredDeletes();
    EXPECT_EQ(window.contentViewController(), nullptr);
    EXPECT_TRUE(secondView.isNull());
    EXPECT_TRUE(window.findChildren<QWidget*>().isEmpty()) << "the window is left empty";
}

TEST(WindowTest, aContentViewMayReplaceItselfFromItsOwnButton) {
    Window window;
    window.show();
    auto pane = std::make_shared<PaneController>();
    window.setContentViewController(pane);
    QObject::connect(pane->button, &QPushButton::clicked, &window,
                     [&] { window.setContentViewController(std::make_shared<PaneController>()); });
    std::weak_ptr<PaneController> old = pane;
    pane.reset();
    QTest::mouseClick(old.lock()->button, Qt::LeftButton);
    EXPECT_NE(window.contentViewController(), nullptr);
    flushDeferredDeletes();
    EXPECT_TRUE(old.expired());
}

TEST(WindowTest, aHiddenTitleShowsNoTextButKeepsTheTitle) {
    Window window;
    window.setTitle(QStringLiteral("Quilvane"));
    EXPECT_EQ(window.windowTitle(), QStringLiteral("Quilvane"));
    window.setTitleVisibility(Window::TitleVisibility::hidden);
    EXPECT_TRUE(window.windowTitle().isEmpty());
    EXPECT_EQ(window.title(), QStringLiteral("Quilvane"));
    window.setTitle(QStringLiteral("Renamed"));
    EXPECT_TRUE(window.windowTitle().isEmpty());
    window.setTitleVisibility(Window::TitleVisibility::visible);
    EXPECT_EQ(window.windowTitle(), QStringLiteral("Renamed"));
}

TEST(WindowTest, draggingTheBackgroundMovesTheWindowOnceThePointerHasTravelled) {
    Window window;
    window.resize(400, 300);
    auto pane = std::make_shared<PaneController>();
    window.setContentViewController(pane);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    QSignalSpy moved(&window, &Window::systemMoveStarted);
    const QPoint emptyCorner(window.width() - 5, window.height() - 5);
    const int far = QApplication::startDragDistance() + 2;

    drag(&window, emptyCorner, far);
    EXPECT_EQ(moved.count(), 0) << "not movable by its background yet";

    window.setMovableByWindowBackground(true);
    QTest::mouseClick(&window, Qt::LeftButton, {}, emptyCorner);
    drag(&window, emptyCorner, 1);
    EXPECT_EQ(moved.count(), 0) << "a click, or a twitch of the pointer, is not a move";

    drag(&window, emptyCorner, far);
    EXPECT_EQ(moved.count(), 1);
    // A label outside any list is background too.
    drag(pane->label, QPoint(2, 2), far);
    EXPECT_EQ(moved.count(), 2);

    // Controls keep their presses, content inside a list is not background, and the right button
    // never moves the window.
    drag(pane->button, QPoint(2, 2), far);
    drag(pane->labelInList, QPoint(2, 2), far);
    QTest::mousePress(&window, Qt::RightButton, {}, emptyCorner);
    QTest::mouseMove(&window, emptyCorner - QPoint(far, 0));
    QTest::mouseRelease(&window, Qt::RightButton, {}, emptyCorner - QPoint(far, 0));
    EXPECT_EQ(moved.count(), 2);
}

} // namespace

#include "WindowTest.moc"
