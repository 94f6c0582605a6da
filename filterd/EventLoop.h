// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "wire/UniqueFd.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace Filterd {

// The service's single thread: an epoll instance that calls one handler per ready descriptor, and
// after every wake-up (at the latest every `tick`) the idle handlers, which drain what the kernel
// buffered without waking anyone. Handlers may add and remove descriptors while they run; a
// descriptor removed in the middle of a batch never sees that batch's stale events.
class EventLoop final {
public:
    using Handler = std::function<void(std::uint32_t events)>;

    static std::unique_ptr<EventLoop> create();

    bool add(int fd, std::uint32_t events, Handler handler);
    bool modify(int fd, std::uint32_t events);
    void remove(int fd);
    void addIdleHandler(std::function<void()> handler);
    // Runs `task` on the loop's thread soon; callable from any thread.
    void post(std::function<void()> task);

    // Runs until stop() is called.
    void run(std::chrono::milliseconds tick);
    // Waits at most `timeout` for one batch of events, handles it and runs the idle handlers.
    bool runOnce(std::chrono::milliseconds timeout);
    void stop() { m_running = false; }

private:
    explicit EventLoop(Quilvane::Wire::UniqueFd epoll);

    struct Entry {
        int fd = -1;
        std::uint64_t token = 0;
        Handler handler;
    };

    Quilvane::Wire::UniqueFd m_epoll;
    std::uint64_t m_nextToken = 1;
    std::unordered_map<std::uint64_t, std::shared_ptr<Entry>> m_entries; // by token
    std::unordered_map<int, std::uint64_t> m_tokens;                     // fd -> token
    std::vector<std::function<void()>> m_idleHandlers;
    bool m_running = false;
    void runPosted();
    Quilvane::Wire::UniqueFd m_wake; // an eventfd that posted tasks ring
    std::mutex m_postedMutex;
    std::vector<std::function<void()>> m_posted;
};

} // namespace Filterd
