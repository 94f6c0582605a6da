// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/Dispatch.h"

#include "tests/support/TestEnvironment.h"

#include <QCoreApplication>
#include <QThread>
#include <QThreadPool>
#include <atomic>
#include <gtest/gtest.h>

TEST(DispatchTest, MainQueueRunsLaterOnTheMainThread) {
    bool ran = false;
    QThread* thread = nullptr;
    Dispatch::async(Dispatch::Queue::main, [&] {
        ran = true;
        thread = QThread::currentThread();
    });
    EXPECT_FALSE(ran); // queued, never inline
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return ran; }));
    EXPECT_EQ(thread, QCoreApplication::instance()->thread());
}

TEST(DispatchTest, BackgroundWorkRunsOffTheMainThreadAndMayBlockInParallel) {
    EXPECT_GE(Dispatch::backgroundPool().maxThreadCount(), 16);
    std::atomic<int> running{0};
    std::atomic<int> peak{0};
    std::atomic<int> offMain{0};
    QThread* mainThread = QThread::currentThread();
    for (int i = 0; i < 16; ++i) {
        Dispatch::async(Dispatch::Queue::background, [&] {
            peak = std::max(peak.load(), ++running);
            offMain += QThread::currentThread() != mainThread ? 1 : 0;
            QThread::msleep(100); // stands for a slow look-up
            --running;
        });
    }
    Dispatch::backgroundPool().waitForDone();
    EXPECT_EQ(offMain.load(), 16);
    EXPECT_GE(peak.load(), 8); // not limited to the two cores
}
