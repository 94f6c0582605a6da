// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/widgets/Storyboard.h"
#include "platform/widgets/ViewController.h"
#include "platform/widgets/WindowController.h"
#include "tests/support/TestEnvironment.h"

#include <QLabel>
#include <QPointer>
#include <QVBoxLayout>
#include <gtest/gtest.h>

namespace {

class CountingViewController final : public ViewController {
    Q_OBJECT
public:
    int loads = 0;
    int didLoads = 0;
    QWidget* seenDuringLoad = reinterpret_cast<QWidget*>(1);
    QWidget* seenDuringDidLoad = nullptr;

protected:
    QWidget* loadView() override {
        ++loads;
        seenDuringLoad = view();
        return new QLabel(QStringLiteral("content"));
    }
    void viewDidLoad() override {
        ++didLoads;
        seenDuringDidLoad = view();
    }
};

class CountingWindowController final : public WindowController {
    Q_OBJECT
public:
    int didLoads = 0;

protected:
    void windowDidLoad() override { ++didLoads; }
};

TEST(ViewControllerTest, loadsItsViewOnceOnFirstUse) {
    CountingViewController controller;
    EXPECT_FALSE(controller.isViewLoaded());
    EXPECT_EQ(controller.loads, 0);

    QWidget* view = controller.view();
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(controller.view(), view);
    EXPECT_TRUE(controller.isViewLoaded());
    EXPECT_EQ(controller.loads, 1);
    EXPECT_EQ(controller.didLoads, 1);
    // Inside loadView the view does not exist yet; inside viewDidLoad it does.
    EXPECT_EQ(controller.seenDuringLoad, nullptr);
    EXPECT_EQ(controller.seenDuringDidLoad, view);
}

TEST(ViewControllerTest, anUnplacedViewGoesWithItsControllerAndAPlacedOneStays) {
    QPointer<QWidget> unplaced;
    {
        CountingViewController controller;
        unplaced = controller.view();
    }
    EXPECT_TRUE(unplaced.isNull());

    QWidget holder;
    new QVBoxLayout(&holder);
    QPointer<QWidget> placed;
    {
        CountingViewController controller;
        placed = controller.view();
        holder.layout()->addWidget(placed);
    }
    EXPECT_FALSE(placed.isNull());
}

TEST(StoryboardTest, instantiatesAFreshControllerThatKnowsItsStoryboard) {
    Storyboard storyboard(QStringLiteral("Test"));
    storyboard.registerScene(QStringLiteral("countingViewController"),
                             [] { return std::make_shared<CountingViewController>(); });
    storyboard.registerScene(QStringLiteral("countingWindowController"),
                             [] { return std::make_shared<CountingWindowController>(); });
    EXPECT_TRUE(storyboard.hasScene(QStringLiteral("countingViewController")));

    auto first = storyboard.instantiate<CountingViewController>(QStringLiteral("countingViewController"));
    auto second = storyboard.instantiate<CountingViewController>(QStringLiteral("countingViewController"));
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first, second);
    EXPECT_EQ(first->storyboard(), &storyboard);

    auto window = storyboard.instantiate<WindowController>(QStringLiteral("countingWindowController"));
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->storyboard(), &storyboard);

    EXPECT_EQ(storyboard.instantiateControllerWithIdentifier(QStringLiteral("missing")), nullptr);
    EXPECT_EQ(storyboard.instantiate<WindowController>(QStringLiteral("countingViewController")), nullptr)
        << "a scene of another kind is not taken as the asked-for class";
}

TEST(StoryboardTest, mainIsOneProcessWideStoryboardNamedMain) {
    EXPECT_EQ(&Storyboard::main(), &Storyboard::main());
    EXPECT_EQ(Storyboard::main().name(), QStringLiteral("Main"));
}

TEST(WindowControllerTest, loadsItsWindowOnceAndLetsItGoWhenClosed) {
    CountingWindowController controller;
    EXPECT_FALSE(controller.isWindowLoaded());
    Window* window = controller.window();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(controller.window(), window);
    EXPECT_EQ(controller.didLoads, 1);

    controller.showWindow();
    EXPECT_TRUE(window->isVisible());
    controller.close();
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return !controller.isWindowLoaded(); }));
    EXPECT_EQ(controller.window(), nullptr) << "a closed window is not rebuilt";
    EXPECT_EQ(controller.didLoads, 1);
}

TEST(WindowControllerTest, takesItsOpenWindowAlongWhenItGoes) {
    QPointer<Window> window;
    {
        CountingWindowController controller;
        controller.showWindow();
        window = controller.window();
    }
    EXPECT_TRUE(window.isNull());
}

} // namespace

#include "ControllersTest.moc"
