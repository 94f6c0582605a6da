// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/Dispatch.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThreadPool>

namespace Dispatch {
namespace {

// Decoding a record inspects /proc and the application's files, which blocks on the disk rather than
// the CPU, so the pool is sized for waiting threads rather than for the two or four cores. Host
// names have a pool of their own in the filter client.
constexpr int kBackgroundThreads = 32;
constexpr int kIdleExpiryMs = 30'000;

QThreadPool* makePool(int threads) {
    // Never destroyed: work may still be queued while static destructors run at exit.
    auto* pool = new QThreadPool;
    pool->setMaxThreadCount(threads);
    pool->setExpiryTimeout(kIdleExpiryMs);
    return pool;
}

} // namespace

QThreadPool& backgroundPool() {
    static QThreadPool* const pool = makePool(kBackgroundThreads);
    return *pool;
}

void async(Queue queue, std::function<void()> work) {
    switch (queue) {
    case Queue::main:
        if (QCoreApplication* app = QCoreApplication::instance()) {
            QMetaObject::invokeMethod(app, std::move(work), Qt::QueuedConnection);
        }
        return;
    case Queue::background:
        backgroundPool().start(std::move(work));
        return;
    }
}

} // namespace Dispatch
