// SPDX-License-Identifier: GPL-3.0-or-later
// What a user pays for watching connections: process CPU per record (all threads of this process,
// from getrusage) while a separate sender process writes records at a fixed rate, as the filter
// service would, for the client delivering them to a subscriber on the main thread and, in the
// same run, for the bare path that only reads each message and hands batches of them to the main
// thread. Records are outgoing connections of this (live) process to 250 numeric hosts, each with
// the service's identity extension. Prints the figures per rate, their ratio and the machine.

#include "bench/support/MachineDescription.h"
#include "kernel/KextClient.h"
#include "wire/ControlPath.h"
#include "wire/KextRecord.h"
#include "wire/RecordExtension.h"
#include "platform/Dispatch.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kDistinctHosts = 250;
constexpr double kSecondsPerRun = 2.0;
constexpr int kRepeats = 3;
constexpr int kRates[] = {10'000, 100'000};
// Records sent before the measurement starts, so that every host has been seen once: what is
// measured is a client in its steady state, not its first look-ups.
constexpr int kWarmUp = 2 * kDistinctHosts;

using Record = std::vector<std::uint8_t>;

double processCpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double wallSeconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

int numericResolver(const sockaddr* address, socklen_t length, char* host, socklen_t hostLength,
                    char* service, socklen_t serviceLength, int flags) {
    return ::getnameinfo(address, length, host, hostLength, service, serviceLength, flags | NI_NUMERICHOST);
}

std::vector<Record> makeRecords() {
    char self[PATH_MAX] = {};
    [[maybe_unused]] const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    std::vector<Record> records;
    for (int i = 0; i < kDistinctHosts; ++i) {
        sockaddr_in peer{};
        peer.sin_family = AF_INET;
        peer.sin_port = htons(443);
        peer.sin_addr.s_addr = htonl(0xC6336400u + static_cast<std::uint32_t>(i)); // 198.51.100.i
        Quilvane::Wire::RecordBuffer buffer{};
        std::size_t size = Quilvane::Wire::makeRecord(buffer, Quilvane::Wire::KextCommand::outgoingConnection,
                                                      ::getpid(), reinterpret_cast<const sockaddr*>(&peer));
        size = Quilvane::Wire::appendRecordExtension(buffer, size, ::getuid(), self, {});
        records.emplace_back(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(size));
    }
    return records;
}

// The stand-in for the filter service, in a process of its own so that its CPU is not counted:
// for every order (rate, count) it accepts one client and sends it `count` records at `rate`.
struct Order {
    int rate = 0;
    int count = 0;
};

[[noreturn]] void serve(int listener, int orders, const std::vector<Record>& records) {
    Order order;
    while (::read(orders, &order, sizeof order) == sizeof order && order.count > 0) {
        const int client = ::accept(listener, nullptr, nullptr);
        const int perTick = std::max(1, order.rate / 1000);
        timespec tick{};
        clock_gettime(CLOCK_MONOTONIC, &tick);
        for (int sent = 0; sent < order.count;) {
            for (int i = 0; i < perTick && sent < order.count; ++i, ++sent) {
                const Record& record = records[static_cast<std::size_t>(sent % kDistinctHosts)];
                [[maybe_unused]] const ssize_t written =
                    ::send(client, record.data(), record.size(), MSG_NOSIGNAL);
            }
            tick.tv_nsec += 1'000'000;
            if (tick.tv_nsec >= 1'000'000'000) {
                tick.tv_nsec -= 1'000'000'000;
                ++tick.tv_sec;
            }
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &tick, nullptr);
        }
        ::close(client);
        const char done = 1;
        [[maybe_unused]] const ssize_t written = ::write(orders, &done, 1);
    }
    ::_exit(0);
}

class Sender final {
public:
    bool start() {
        char folder[] = "/tmp/quilvane-bench.XXXXXX";
        if (::mkdtemp(folder) == nullptr) {
            return false;
        }
        m_folder = folder;
        ::setenv("QUILVANE_CONTROL_DIR", folder, 1);
        const std::string path = Quilvane::Wire::controlSocketPath();
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        const int listener = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        int orders[2];
        if (listener < 0 ||
            ::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listener, 4) != 0 ||
            ::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, orders) != 0) {
            return false;
        }
        const auto records = makeRecords();
        m_child = ::fork();
        if (m_child == 0) {
            ::close(orders[0]);
            serve(listener, orders[1], records);
        }
        ::close(listener);
        ::close(orders[1]);
        m_orders = orders[0];
        return m_child > 0;
    }

    ~Sender() {
        if (m_child > 0) {
            const Order stop;
            [[maybe_unused]] const ssize_t written = ::write(m_orders, &stop, sizeof stop);
            ::waitpid(m_child, nullptr, 0);
        }
        ::unlink(Quilvane::Wire::controlSocketPath().c_str());
        ::rmdir(m_folder.c_str());
    }

    void order(int rate, int count) {
        const Order order{rate, count};
        [[maybe_unused]] const ssize_t written = ::write(m_orders, &order, sizeof order);
    }

    void waitUntilSent() {
        char done;
        [[maybe_unused]] const ssize_t read = ::read(m_orders, &done, 1);
    }

private:
    std::string m_folder;
    pid_t m_child = -1;
    int m_orders = -1;
};

// Counts deliveries on the main thread, calls `onWarm` once the warm-up has arrived and ends the run
// at the last one.
class Counter final : public TrafficSubscriber {
public:
    std::function<void()> onWarm;

    void connectionMade(const ConnectionPtr& connection, const AppPtr&) override {
        m_checksum += static_cast<std::size_t>(connection->port().size());
        count();
    }
    void count() {
        if (++m_count == kWarmUp && onWarm) {
            onWarm();
        }
        if (m_count == m_target && m_loop != nullptr) {
            m_loop->quit();
        }
    }
    void expect(int target, QEventLoop* loop) {
        m_count = 0;
        m_target = target;
        m_loop = loop;
    }
    int counted() const { return m_count; }

private:
    int m_count = 0;
    int m_target = 0;
    QEventLoop* m_loop = nullptr;
    std::size_t m_checksum = 0;
};

struct Figures {
    double cpuMicrosPerRecord = 0;
    double recordsPerSecond = 0;
    int delivered = 0;
};

// One run: the warm-up and then `count` records at `rate`, counted by `counter` on the main thread;
// the figures cover the `count` records after the warm-up.
Figures timeRun(Sender& sender, Counter& counter, int rate, int count) {
    QEventLoop loop;
    counter.expect(kWarmUp + count, &loop);
    double cpuBefore = 0;
    double start = 0;
    counter.onWarm = [&] {
        cpuBefore = processCpuSeconds();
        start = wallSeconds();
    };
    QTimer::singleShot(static_cast<int>(kSecondsPerRun * 1000 * 10), &loop, &QEventLoop::quit);
    sender.order(rate, kWarmUp + count);
    loop.exec();
    const double wall = wallSeconds() - start;
    const double cpu = processCpuSeconds() - cpuBefore;
    sender.waitUntilSent();
    const int measured = std::max(0, counter.counted() - kWarmUp);
    return {cpu / count * 1e6, measured / wall, measured};
}

Figures clientRun(Sender& sender, int rate, int count) {
    KextClient client; // connects; the sender accepts it once the order comes
    client.setNameResolverForTesting(&numericResolver);
    auto counter = std::make_shared<Counter>();
    client.addSubscriber(counter);
    return timeRun(sender, *counter, rate, count);
}

// The bare path: read each message into a fresh buffer, hand batches of them to the main thread and
// count them there, with no decoding at all.
Figures bareRun(Sender& sender, int rate, int count) {
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s",
                  Quilvane::Wire::controlSocketPath().c_str());
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return {};
    }
    const int stop = ::eventfd(0, EFD_CLOEXEC);
    auto counter = std::make_shared<Counter>();
    std::thread reader([fd, stop, counter] {
        pollfd watched[2] = {{fd, POLLIN, 0}, {stop, POLLIN, 0}};
        while (::poll(watched, 2, -1) > 0 && watched[1].revents == 0) {
            std::vector<Quilvane::Wire::RecordBuffer> batch;
            while (batch.size() < 64) {
                Quilvane::Wire::RecordBuffer buffer{};
                if (::read(fd, buffer.data(), buffer.size()) <= 0) {
                    break;
                }
                batch.push_back(buffer);
            }
            if (batch.empty()) {
                break; // the sender hung up
            }
            Dispatch::async(Dispatch::Queue::main, [counter, batch = std::move(batch)] {
                for (std::size_t i = 0; i < batch.size(); ++i) {
                    counter->count();
                }
            });
        }
    });
    const Figures figures = timeRun(sender, *counter, rate, count);
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(stop, &one, sizeof one);
    reader.join();
    QCoreApplication::processEvents();
    ::close(stop);
    ::close(fd);
    return figures;
}

Figures best(const std::vector<Figures>& runs) {
    return *std::min_element(runs.begin(), runs.end(), [](const Figures& a, const Figures& b) {
        return a.cpuMicrosPerRecord < b.cpuMicrosPerRecord;
    });
}

} // namespace

int main(int argc, char** argv) {
    // The sender is forked before Qt starts any thread.
    Sender sender;
    if (!sender.start()) {
        std::fprintf(stderr, "could not start the sender\n");
        return 1;
    }
    QCoreApplication app(argc, argv);
    std::printf("machine: %s\n", machineDescription().c_str());
    std::printf("records: outgoing, one live process, %d numeric hosts, identity extension; best of %d "
                "runs of %.0f s, each after %d records of warm-up\n",
                kDistinctHosts, kRepeats, kSecondsPerRun, kWarmUp);
    std::printf("process CPU per record (all threads, getrusage):\n");
    for (const int rate : kRates) {
        const int count = static_cast<int>(rate * kSecondsPerRun);
        std::vector<Figures> bare;
        std::vector<Figures> client;
        for (int i = 0; i < kRepeats; ++i) {
            bare.push_back(bareRun(sender, rate, count));
            client.push_back(clientRun(sender, rate, count));
        }
        const Figures b = best(bare);
        const Figures c = best(client);
        std::printf("  %7d records/s  client %6.2f us (%d of %d delivered, %.0f/s)  bare %6.2f us  "
                    "client/bare %5.2f\n",
                    rate, c.cpuMicrosPerRecord, c.delivered, count, c.recordsPerSecond, b.cpuMicrosPerRecord,
                    b.cpuMicrosPerRecord > 0 ? c.cpuMicrosPerRecord / b.cpuMicrosPerRecord : 0.0);
    }
    return 0;
}
