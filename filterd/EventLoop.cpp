// SPDX-License-Identifier: GPL-3.0-or-later
#include "filterd/EventLoop.h"

#include "filterd/Log.h"

#include <cerrno>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

using Quilvane::Wire::UniqueFd;

namespace Filterd {

std::unique_ptr<EventLoop> EventLoop::create() {
    UniqueFd epoll(::epoll_create1(EPOLL_CLOEXEC));
    if (!epoll) {
        Log::error("epoll_create1", errno);
        return nullptr;
    }
    return std::unique_ptr<EventLoop>(new EventLoop(std::move(epoll)));
}

EventLoop::EventLoop(UniqueFd epoll)
    : m_epoll(std::move(epoll))
    , m_wake(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    if (m_wake) {
        add(m_wake.get(), EPOLLIN, [this](std::uint32_t) { runPosted(); });
    }
}

void EventLoop::post(std::function<void()> task) {
    {
        std::lock_guard lock(m_postedMutex);
        m_posted.push_back(std::move(task));
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(m_wake.get(), &one, sizeof one);
}

void EventLoop::runPosted() {
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t read = ::read(m_wake.get(), &count, sizeof count);
    std::vector<std::function<void()>> tasks;
    {
        std::lock_guard lock(m_postedMutex);
        tasks.swap(m_posted);
    }
    for (const auto& task : tasks) {
        task();
    }
}

bool EventLoop::add(int fd, std::uint32_t events, Handler handler) {
    auto entry = std::make_shared<Entry>();
    entry->fd = fd;
    entry->token = m_nextToken++;
    entry->handler = std::move(handler);
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = entry->token;
    if (::epoll_ctl(m_epoll.get(), EPOLL_CTL_ADD, fd, &ev) != 0) {
        Log::error("epoll_ctl(ADD)", errno);
        return false;
    }
    m_tokens[fd] = entry->token;
    m_entries[entry->token] = std::move(entry);
    return true;
}

bool EventLoop::modify(int fd, std::uint32_t events) {
    const auto it = m_tokens.find(fd);
    if (it == m_tokens.end()) {
        return false;
    }
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = it->second;
    return ::epoll_ctl(m_epoll.get(), EPOLL_CTL_MOD, fd, &ev) == 0;
}

void EventLoop::remove(int fd) {
    const auto it = m_tokens.find(fd);
    if (it == m_tokens.end()) {
        return;
    }
    ::epoll_ctl(m_epoll.get(), EPOLL_CTL_DEL, fd, nullptr);
    m_entries.erase(it->second);
    m_tokens.erase(it);
}

void EventLoop::addIdleHandler(std::function<void()> handler) {
    m_idleHandlers.push_back(std::move(handler));
}

void EventLoop::run(std::chrono::milliseconds tick) {
    m_running = true;
    while (m_running && runOnce(tick)) {
    }
}

bool EventLoop::runOnce(std::chrono::milliseconds timeout) {
    constexpr int kBatch = 64;
    epoll_event events[kBatch];
    const int n = ::epoll_wait(m_epoll.get(), events, kBatch, static_cast<int>(timeout.count()));
    if (n < 0 && errno != EINTR) {
        Log::error("epoll_wait", errno);
        return false;
    }
    for (int i = 0; i < n; ++i) {
        const auto it = m_entries.find(events[i].data.u64);
        if (it == m_entries.end()) {
            continue; // removed earlier in this batch
        }
        const auto entry = it->second; // keeps the handler alive while it removes itself
        entry->handler(events[i].events);
    }
    for (const auto& idle : m_idleHandlers) {
        idle();
    }
    return true;
}

} // namespace Filterd
