// SPDX-License-Identifier: GPL-3.0-or-later
#include "filterd/control/PolkitAuthority.h"

#include "filterd/Log.h"

#include <cstring>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <systemd/sd-bus.h>

namespace Filterd {
namespace {

std::string errnoText(int negativeError) {
    return std::strerror(-negativeError);
}

bool isError(const sd_bus_error* error, const char* name) {
    return error != nullptr && error->name != nullptr && std::strcmp(error->name, name) == 0;
}

} // namespace

void PolkitAuthority::BusDeleter::operator()(sd_bus* bus) const {
    // Never flush: closing must not wait on a bus that stopped reading.
    sd_bus_close_unref(bus);
}

void PolkitAuthority::SlotDeleter::operator()(sd_bus_slot* slot) const {
    sd_bus_slot_unref(slot);
}

std::unique_ptr<PolkitAuthority> PolkitAuthority::create(EventLoop& loop, std::string action,
                                                         std::chrono::milliseconds timeout) {
    std::unique_ptr<PolkitAuthority> authority(new PolkitAuthority(loop, std::move(action), timeout));
    if (std::string error; !authority->open(error)) {
        Log::line(
            "polkit cannot be asked (" + error +
            "): only root and members of the service's group may connect until the system bus is there");
    }
    return authority;
}

PolkitAuthority::PolkitAuthority(EventLoop& loop, std::string action, std::chrono::milliseconds timeout)
    : m_loop(loop)
    , m_action(std::move(action))
    , m_timeout(timeout) {}

PolkitAuthority::~PolkitAuthority() {
    m_calls.clear(); // the slots go before the bus
    if (m_busFd >= 0) {
        m_loop.remove(m_busFd);
    }
    if (m_timer) {
        m_loop.remove(m_timer.get());
    }
}

bool PolkitAuthority::open(std::string& error) {
    if (!m_timer) {
        m_timer.reset(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
        if (!m_timer || !m_loop.add(m_timer.get(), EPOLLIN, [this](std::uint32_t) {
                std::uint64_t expirations = 0;
                [[maybe_unused]] const ssize_t n = ::read(m_timer.get(), &expirations, sizeof expirations);
                process();
            })) {
            error = "cannot create a timer";
            m_timer.reset();
            return false;
        }
    }
    // Connecting does not wait: the socket is non-blocking and the handshake runs in process().
    sd_bus* bus = nullptr;
    if (const int r = sd_bus_open_system(&bus); r < 0) {
        error = "cannot reach the system bus: " + errnoText(r);
        return false;
    }
    m_bus.reset(bus);
    m_busFd = sd_bus_get_fd(bus);
    if (m_busFd < 0 || !m_loop.add(m_busFd, EPOLLIN, [this](std::uint32_t) { process(); })) {
        error = "cannot watch the system bus";
        m_bus.reset();
        m_busFd = -1;
        return false;
    }
    watch();
    return true;
}

std::uint64_t PolkitAuthority::ask(const PeerProcess& process, Callback callback) {
    // Trying again costs one connect() that fails at once, so it is tried for every client that
    // needs it: a bus that starts after the service is used from its first moment.
    if (!m_bus) {
        if (std::string error; !open(error)) {
            return 0;
        }
        Log::line("reached the system bus: polkit authorises clients from now on");
    }
    sd_bus_message* raw = nullptr;
    int r = sd_bus_message_new_method_call(m_bus.get(), &raw, "org.freedesktop.PolicyKit1",
                                           "/org/freedesktop/PolicyKit1/Authority",
                                           "org.freedesktop.PolicyKit1.Authority", "CheckAuthorization");
    if (r < 0) {
        return 0;
    }
    std::unique_ptr<sd_bus_message, sd_bus_message* (*)(sd_bus_message*)> message(raw, sd_bus_message_unref);
    r = sd_bus_message_append(message.get(), "(sa{sv})sa{ss}us", "unix-process", 3, "pid", "u",
                              static_cast<std::uint32_t>(process.pid), "start-time", "t", process.startTime,
                              "uid", "i", static_cast<std::int32_t>(process.uid), m_action.c_str(), 0,
                              0u /* no interaction */, "");
    if (r < 0) {
        return 0;
    }
    auto call = std::make_unique<Call>();
    call->authority = this;
    call->ticket = m_nextTicket++;
    call->callback = std::move(callback);
    sd_bus_slot* slot = nullptr;
    const auto usec = static_cast<std::uint64_t>(std::chrono::microseconds(m_timeout).count());
    if (sd_bus_call_async(m_bus.get(), &slot, message.get(), &PolkitAuthority::onReply, call.get(), usec) <
        0) {
        return 0;
    }
    call->slot.reset(slot);
    const std::uint64_t ticket = call->ticket;
    m_calls.emplace(ticket, std::move(call));
    watch();
    return ticket;
}

void PolkitAuthority::cancel(std::uint64_t ticket) {
    m_calls.erase(ticket); // unreferencing the slot drops the reply when it comes
}

int PolkitAuthority::onReply(sd_bus_message* reply, void* userdata, sd_bus_error*) {
    auto* call = static_cast<Call*>(userdata);
    call->authority->answer(*call, reply);
    return 0;
}

void PolkitAuthority::answer(Call& call, sd_bus_message* reply) {
    auto node = m_calls.extract(call.ticket);
    if (node.empty()) {
        return;
    }
    Answer answer = Answer::unanswered;
    std::string detail;
    if (sd_bus_message_is_method_error(reply, nullptr)) {
        const sd_bus_error* error = sd_bus_message_get_error(reply);
        if (isError(error, SD_BUS_ERROR_SERVICE_UNKNOWN) || isError(error, SD_BUS_ERROR_NAME_HAS_NO_OWNER)) {
            detail = "polkit is not running";
            if (!m_toldPolkitMissing) {
                m_toldPolkitMissing = true;
                Log::line("polkit is not running on the system bus: only root and members of the service's "
                          "group may connect");
            }
        } else if (isError(error, SD_BUS_ERROR_NO_REPLY) || isError(error, SD_BUS_ERROR_TIMEOUT)) {
            detail = "polkit did not answer within " + std::to_string(m_timeout.count()) + " ms";
        } else {
            detail =
                std::string("polkit: ") + (error != nullptr && error->message ? error->message : "error");
        }
    } else {
        m_toldPolkitMissing = false;
        int authorized = 0;
        int challenge = 0;
        if (sd_bus_message_enter_container(reply, 'r', "bba{ss}") < 0 ||
            sd_bus_message_read(reply, "bb", &authorized, &challenge) < 0) {
            detail = "polkit sent an answer of the wrong form";
        } else if (authorized) {
            answer = Answer::authorized;
        } else {
            answer = Answer::refused;
            detail = challenge ? "polkit wants a password, which a client of the service cannot give"
                               : "polkit does not authorise it";
        }
    }
    const Callback callback = std::move(node.mapped()->callback);
    node.mapped()->callback = nullptr;
    callback(answer, detail);
}

void PolkitAuthority::process() {
    while (m_bus) {
        const int r = sd_bus_process(m_bus.get(), nullptr);
        if (r < 0) {
            disconnected(errnoText(r));
            return;
        }
        if (r == 0) {
            break;
        }
    }
    if (m_bus && sd_bus_is_open(m_bus.get()) <= 0) {
        disconnected("the connection was closed");
        return;
    }
    watch();
}

void PolkitAuthority::watch() {
    if (!m_bus) {
        return;
    }
    const int events = sd_bus_get_events(m_bus.get());
    m_loop.modify(m_busFd,
                  ((events & POLLIN) != 0 ? EPOLLIN : 0u) | ((events & POLLOUT) != 0 ? EPOLLOUT : 0u));
    std::uint64_t usec = UINT64_MAX;
    itimerspec when{};
    if (sd_bus_get_timeout(m_bus.get(), &usec) >= 0 && usec != UINT64_MAX) {
        usec = std::max<std::uint64_t>(usec, 1); // 0 would disarm the timer; 1 µs is long past
        when.it_value.tv_sec = static_cast<time_t>(usec / 1'000'000);
        when.it_value.tv_nsec = static_cast<long>(usec % 1'000'000) * 1000;
    }
    ::timerfd_settime(m_timer.get(), TFD_TIMER_ABSTIME, &when, nullptr);
}

void PolkitAuthority::disconnected(const std::string& why) {
    Log::line("lost the system bus (" + why +
              "): only root and members of the service's group may connect "
              "until it is back");
    m_loop.remove(m_busFd);
    m_busFd = -1;
    itimerspec never{};
    ::timerfd_settime(m_timer.get(), 0, &never, nullptr);
    auto calls = std::move(m_calls);
    m_calls.clear();
    for (auto& [ticket, call] : calls) {
        call->slot.reset();
    }
    m_bus.reset();
    for (auto& [ticket, call] : calls) {
        if (call->callback) {
            call->callback(Answer::unanswered, "the system bus is gone");
        }
    }
}

} // namespace Filterd
