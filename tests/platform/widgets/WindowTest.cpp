#include "platform/widgets/Window.h"

#include "platform/widgets/ViewController.h"

#include <QCoreApplication>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QVBoxLayout>
#include <gtest/gtest.h>

namespace {

// A content view as the application's panes have: a plain container with a label and a button.
class PaneController final : public ViewController {
    Q_OBJECT
public:
    QPointer<QLabel> label;
    QPointer<QPushButton> button;

protected:
    QWidget* loadView() override {
        auto* pane = new QWidget;
        auto* layout = new QVBoxLayout(pane);
        label = new QLabel(QStringLiteral("artwork"), pane);
        button = new QPushButton(QStringLiteral("press"), pane);
        layout->addWidget(label);
        layout->addWidget(button);
        layout->addStretch();
        return pane;
    }
};

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

    window.setTitlebarAppearsTransparent(true);
    EXPECT_TRUE(window.titlebarAppearsTransparent());
}

TEST(WindowTest, aPressOnTheBackgroundMovesTheWindowOnlyWhenMovable) {
    Window window;
    window.resize(400, 300);
    auto pane = std::make_shared<PaneController>();
    window.setContentViewController(pane);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    QSignalSpy moved(&window, &Window::systemMoveStarted);
    const QPoint emptyCorner(window.width() - 5, window.height() - 5);

    QTest::mousePress(&window, Qt::LeftButton, {}, emptyCorner);
    QTest::mouseRelease(&window, Qt::LeftButton, {}, emptyCorner);
    EXPECT_EQ(moved.count(), 0) << "not movable by its background yet";

    window.setMovableByWindowBackground(true);
    EXPECT_TRUE(window.isMovableByWindowBackground());
    QTest::mousePress(&window, Qt::LeftButton, {}, emptyCorner);
    QTest::mouseRelease(&window, Qt::LeftButton, {}, emptyCorner);
    EXPECT_EQ(moved.count(), 1);

    // A label ignores presses, so a press on it is a press on the background.
    QTest::mousePress(pane->label, Qt::LeftButton);
    QTest::mouseRelease(pane->label, Qt::LeftButton);
    EXPECT_EQ(moved.count(), 2);

    // A control keeps its press, and the right button never moves the window.
    QTest::mouseClick(pane->button, Qt::LeftButton);
    QTest::mouseClick(&window, Qt::RightButton, {}, emptyCorner);
    EXPECT_EQ(moved.count(), 2);
}

} // namespace

#include "WindowTest.moc"
