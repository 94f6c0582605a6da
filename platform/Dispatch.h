// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <functional>

class QThreadPool;

// Queues for work that must not run on the caller's thread, so call sites stay as short as
// `Dispatch::async(Dispatch::Queue::background, [=] { ... });`.
//   main        the Qt main thread, through its event loop (queued, never run inline)
//   background  the project's own pool, sized for work that blocks on the disk or /proc
namespace Dispatch {

enum class Queue { main, background };

void async(Queue queue, std::function<void()> work);

// The pool behind Queue::background (tests and benchmarks may wait on it).
QThreadPool& backgroundPool();

} // namespace Dispatch
