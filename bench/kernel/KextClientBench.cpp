// Pushes connection records from the fake filter through the client to a subscriber on the main
// thread, and the same records through a bare reader that only hands them to the main thread (the
// ceiling any client can reach on this machine). Prints records per second delivered, main-thread
// CPU time per record, their ratio and the machine.

#include "bench/support/MachineDescription.h"
#include "kernel/KextClient.h"
#include "kernel/wire/KextRecord.h"
#include "platform/Dispatch.h"
#include "tests/support/FakeKextFilter.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <atomic>
#include <benchmark/benchmark.h>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr int kRecordsPerRun = 100'000;
constexpr int kDistinctHosts = 250;

double threadCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
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

std::vector<std::vector<std::uint8_t>> makeRecords() {
    std::vector<std::vector<std::uint8_t>> records;
    for (int i = 0; i < kDistinctHosts; ++i) {
        records.push_back(FakeKextFilter::record(1, ::getpid(), "198.51.100." + std::to_string(i), 443));
    }
    return records;
}

// Sends kRecordsPerRun records from a thread of its own, as the filter service would.
std::thread sendRecords(FakeKextFilter& filter) {
    return std::thread([&filter] {
        static const auto records = makeRecords();
        for (int i = 0; i < kRecordsPerRun; ++i) {
            filter.sendRecord(records[static_cast<std::size_t>(i % kDistinctHosts)]);
        }
    });
}

class CountingSubscriber final : public TrafficSubscriber {
public:
    void connectionMade(const ConnectionPtr& connection, const AppPtr&) override {
        benchmark::DoNotOptimize(connection->port());
        if (++m_count == m_target) {
            m_loop->quit();
        }
    }
    void expect(int target, QEventLoop* loop) {
        m_count = 0;
        m_target = target;
        m_loop = loop;
    }

private:
    int m_count = 0;
    int m_target = 0;
    QEventLoop* m_loop = nullptr;
};

struct Figures {
    double recordsPerSecond = 0;
    double mainMicrosPerRecord = 0;
};
Figures clientFigures;
Figures ceilingFigures;

void reportRun(benchmark::State& state, Figures& figures, double wall, double mainCpu) {
    state.SetIterationTime(wall);
    figures.recordsPerSecond = std::max(figures.recordsPerSecond, kRecordsPerRun / wall);
    const double perRecord = mainCpu / kRecordsPerRun * 1e6;
    figures.mainMicrosPerRecord =
        figures.mainMicrosPerRecord == 0 ? perRecord : std::min(figures.mainMicrosPerRecord, perRecord);
    state.counters["records/s"] = benchmark::Counter(kRecordsPerRun / wall);
    state.counters["main_us/record"] = benchmark::Counter(perRecord);
}

// One run: the fake filter sends a run's records while `loop` counts them on the main thread (it
// quits at the last), timed on the wall clock and on the main thread's CPU clock.
void timeRun(benchmark::State& state, Figures& figures, FakeKextFilter& filter, QEventLoop& loop) {
    const double cpuBefore = threadCpuSeconds();
    const double start = wallSeconds();
    std::thread sender = sendRecords(filter);
    loop.exec();
    const double wall = wallSeconds() - start;
    const double mainCpu = threadCpuSeconds() - cpuBefore;
    sender.join();
    reportRun(state, figures, wall, mainCpu);
}

void BM_ClientToSubscriber(benchmark::State& state) {
    FakeKextFilter filter;
    KextClient client;
    if (client.socket() == 0 || !filter.waitForClients(1)) {
        state.SkipWithError("the client could not connect to the fake filter");
        return;
    }
    client.setNameResolverForTesting(&numericResolver);
    auto subscriber = std::make_shared<CountingSubscriber>();
    client.addSubscriber(subscriber);
    for (auto _ : state) {
        QEventLoop loop;
        subscriber->expect(kRecordsPerRun, &loop);
        timeRun(state, clientFigures, filter, loop);
    }
}

// The ceiling: read each message into a fresh buffer, hand batches of them to the main thread and
// count them there, with no decoding at all.
void BM_RawSocketToMainThread(benchmark::State& state) {
    FakeKextFilter filter;
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", filter.socketPath().c_str());
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        !filter.waitForClients(1)) {
        state.SkipWithError("could not connect to the fake filter");
        return;
    }
    const int stop = ::eventfd(0, EFD_CLOEXEC);
    std::atomic<int>* counted = new std::atomic<int>(0);
    QEventLoop* currentLoop = nullptr;
    int target = 0;
    std::thread reader([&] {
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
            if (!batch.empty()) {
                Dispatch::async(Dispatch::Queue::main, [&, batch = std::move(batch)] {
                    for (const auto& record : batch) {
                        benchmark::DoNotOptimize(record[0]);
                        if (++*counted == target) {
                            currentLoop->quit();
                        }
                    }
                });
            }
        }
    });
    for (auto _ : state) {
        QEventLoop loop;
        currentLoop = &loop;
        *counted = 0;
        target = kRecordsPerRun;
        timeRun(state, ceilingFigures, filter, loop);
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(stop, &one, sizeof one);
    reader.join();
    QCoreApplication::processEvents();
    ::close(stop);
    ::close(fd);
    delete counted;
}

BENCHMARK(BM_RawSocketToMainThread)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ClientToSubscriber)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    std::printf("\nmachine: %s\n", machineDescription().c_str());
    std::printf("records: %d per run, %d distinct numeric hosts, best of 3 runs\n", kRecordsPerRun,
                kDistinctHosts);
    std::printf("client to subscriber:        %9.0f records/s, main thread %.2f us/record\n",
                clientFigures.recordsPerSecond, clientFigures.mainMicrosPerRecord);
    std::printf("raw socket to main (ceiling): %9.0f records/s, main thread %.2f us/record\n",
                ceilingFigures.recordsPerSecond, ceilingFigures.mainMicrosPerRecord);
    if (ceilingFigures.recordsPerSecond > 0) {
        std::printf("client / ceiling:            %9.1f %%\n",
                    100.0 * clientFigures.recordsPerSecond / ceilingFigures.recordsPerSecond);
    }
    return 0;
}
