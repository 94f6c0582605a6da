// SPDX-License-Identifier: GPL-3.0-or-later
// Feeds the network monitor the way the filter client does and prints what it costs:
//   1. a million connections over 500 applications through connectionMade() on the main thread,
//      with the pane on screen: time per connection and memory per stored connection;
//   2. an open connections popover on an application receiving 10,000 connections a second,
//      delivered as queued calls from another thread: the longest gap of a 1 ms main-thread timer;
//   3. a million connections over 20 applications: the heap every 100,000, flat once each row holds
//      its bound of connections.
// Run it with QT_QPA_PLATFORM=offscreen (the default here) or under a real display.

#include "resources/SceneIdentifiers.h"
#include "bench/support/MachineDescription.h"
#include "kernel/Connection.h"
#include "kernel/KextClient.h"
#include "model/App.h"
#include "model/Blacklist.h"
#include "model/MonitoredApp.h"
#include "platform/widgets/Popover.h"
#include "platform/widgets/Storyboard.h"
#include "platform/widgets/TableView.h"
#include "tests/support/ScratchHome.h"
#include "ui/monitor/ConnectionsViewController.h"
#include "ui/monitor/MonitorScenes.h"
#include "ui/monitor/MonitorTableCellView.h"
#include "ui/monitor/MonitorViewController.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QPushButton>
#include <QSortFilterProxyModel>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <malloc.h>
#include <pthread.h>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int applicationCount = 500;
constexpr int connectionCount = 1'000'000;
constexpr int hostCount = 2'000;
constexpr int popoverRate = 10'000; // connections per second
constexpr int popoverSeconds = 10;

void printMachine() {
    std::printf("machine: %s, Qt %s, platform %s\n", machineDescription().c_str(), qVersion(),
                qPrintable(QGuiApplication::platformName()));
}

double threadCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

QString loadAverage() {
    QFile file(QStringLiteral("/proc/loadavg"));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll().trimmed())
                                          : QStringLiteral("unknown");
}

size_t heapInUse() {
    return mallinfo2().uordblks;
}

QList<AppPtr> makeApps() {
    QList<AppPtr> apps;
    for (int i = 0; i < applicationCount; ++i) {
        const QString name = QStringLiteral("app-%1").arg(i, 3, 10, QLatin1Char('0'));
        // Every other one is a process without a path, the rest installed programs.
        apps.append(i % 2 ? App::initWithName(name, name, std::nullopt)
                          : App::initWithName(name, name, QStringLiteral("/usr/lib/%1/bin/%1").arg(name)));
    }
    return apps;
}

ConnectionPtr makeConnection(std::mt19937& random) {
    static const int ports[] = {443, 80, 53, 993, 8080, 5222, 123, 22};
    const int host = std::uniform_int_distribution<int>(0, hostCount - 1)(random);
    const int port = ports[std::uniform_int_distribution<int>(0, 7)(random)];
    return Connection::initWithHostname(QStringLiteral("host-%1.example.net").arg(host), port);
}

void feedAMillion(MonitorViewController& monitor, const QList<AppPtr>& apps) {
    std::mt19937 random(42);
    std::uniform_int_distribution<int> anyApp(0, applicationCount - 1);

    const size_t heapBefore = heapInUse();
    std::vector<ConnectionPtr> connections;
    std::vector<int> owners;
    connections.reserve(connectionCount);
    owners.reserve(connectionCount);
    for (int i = 0; i < connectionCount; ++i) {
        connections.push_back(makeConnection(random));
        owners.push_back(anyApp(random));
    }
    const size_t heapBuilt = heapInUse();

    QElapsedTimer clock;
    const double cpuBefore = threadCpuSeconds();
    qint64 insideCalls = 0;
    qint64 newRowCalls = 0;
    qint64 longestCall = 0;
    clock.start();
    for (int i = 0; i < connectionCount; ++i) {
        const qsizetype rowsBefore = monitor.items().size();
        const qint64 start = clock.nsecsElapsed();
        monitor.connectionMade(connections[static_cast<size_t>(i)], apps[owners[static_cast<size_t>(i)]]);
        const qint64 spent = clock.nsecsElapsed() - start;
        insideCalls += spent;
        if (monitor.items().size() != rowsBefore) {
            newRowCalls += spent;
        }
        longestCall = std::max(longestCall, spent);
        // Let the pane paint and run its fades now and then, as the event loop would between records.
        if (i % 5000 == 4999) {
            QCoreApplication::processEvents();
        }
    }
    const qint64 total = clock.nsecsElapsed();
    const double cpu = threadCpuSeconds() - cpuBefore;
    const size_t heapFed = heapInUse();
    std::vector<ConnectionPtr>().swap(connections);
    std::vector<int>().swap(owners);
    const size_t heapStored = heapInUse();

    std::printf("\n1. %d connections over %d applications through connectionMade (pane shown, %lld rows)\n",
                connectionCount, applicationCount, static_cast<long long>(monitor.items().size()));
    std::printf(
        "   time per connection: %.3f us inside connectionMade (target < 2 us), %.3f us with painting\n",
        insideCalls / 1000.0 / connectionCount, total / 1000.0 / connectionCount);
    const qint64 rows = monitor.items().size();
    std::printf("   of which %d first connections (new rows, icon look-up, fade): %.1f us each; "
                "%d connections to listed rows: %.3f us each\n",
                static_cast<int>(rows), newRowCalls / 1000.0 / std::max<qint64>(rows, 1),
                connectionCount - static_cast<int>(rows),
                (insideCalls - newRowCalls) / 1000.0 / std::max<qint64>(connectionCount - rows, 1));
    std::printf(
        "   rate: %.0f connections/s; longest single call %.1f us; main-thread CPU %.3f us per connection\n",
        connectionCount / (insideCalls / 1e9), longestCall / 1000.0, cpu * 1e6 / connectionCount);
    std::printf("   memory per stored connection: %.1f bytes with the record (target < 200), "
                "%.1f bytes of the monitor's own list\n",
                static_cast<double>(heapStored - heapBefore) / connectionCount,
                static_cast<double>(heapFed - heapBuilt) / connectionCount);
}

// A million connections to a few applications, so that every row reaches its bound early on: the
// heap is printed every 100,000 connections and must stay flat from then on.
void feedAMillionToFew(MonitorViewController& monitor, const QList<AppPtr>& apps) {
    constexpr int few = 20;
    std::mt19937 random(43);
    std::uniform_int_distribution<int> anyApp(0, few - 1);
    const size_t heapBefore = heapInUse();
    std::printf("\n3. %d connections over %d applications (bound %d connections per application; "
                "the count shown keeps counting all)\n",
                connectionCount, few, MonitoredApp::connectionLimit());
    for (int i = 1; i <= connectionCount; ++i) {
        monitor.connectionMade(makeConnection(random), apps[anyApp(random)]);
        if (i % 5000 == 0) {
            QCoreApplication::processEvents();
        }
        if (i % 100'000 == 0) {
            qint64 stored = 0;
            qint64 seen = 0;
            for (const auto& item : monitor.items()) {
                stored += item->connectionCount();
                seen += item->totalConnectionCount();
            }
            std::printf("   after %7d: heap %7.1f MB above the start, %lld connections kept, %lld counted\n",
                        i, static_cast<double>(heapInUse() - heapBefore) / 1e6,
                        static_cast<long long>(stored), static_cast<long long>(seen));
        }
    }
}

// Posts connections for one application to the main thread at a steady rate, like the filter client.
class Feeder final {
public:
    Feeder(MonitorViewController& monitor, AppPtr app)
        : m_monitor(monitor)
        , m_app(std::move(app)) {}

    void start() {
        m_thread = std::thread([this] {
            pthread_setname_np(pthread_self(), "feeder");
            run();
        });
    }

    void stop() {
        m_running = false;
        m_thread.join();
    }

    int posted() const { return m_posted; }

private:
    void run() {
        std::mt19937 random(7);
        QElapsedTimer clock;
        clock.start();
        while (m_running) {
            const qint64 due = clock.nsecsElapsed() * popoverRate / 1'000'000'000;
            for (; m_posted < due; ++m_posted) {
                ConnectionPtr connection = makeConnection(random);
                QMetaObject::invokeMethod(
                    qApp, [this, connection] { m_monitor.connectionMade(connection, m_app); },
                    Qt::QueuedConnection);
            }
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
    }

    MonitorViewController& m_monitor;
    AppPtr m_app;
    std::thread m_thread;
    std::atomic<bool> m_running{true};
    std::atomic<int> m_posted{0};
};

struct Stalls {
    double longest = 0; // milliseconds
    double p99 = 0;
    size_t ticks = 0;
    double cpu = 0; // main-thread seconds
};

// Runs the event loop for popoverSeconds with a 1 ms timer and reports the gaps between its ticks,
// with `feeder` (if any) delivering connections meanwhile.
Stalls measureStalls(Feeder* feeder) {
    QElapsedTimer clock;
    qint64 lastTick = 0;
    std::vector<qint64> gaps;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    ticker.setInterval(1);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        gaps.push_back(now - lastTick);
        lastTick = now;
    });
    const double cpuBefore = threadCpuSeconds();
    clock.start();
    ticker.start();
    if (feeder) {
        feeder->start();
    }
    QEventLoop loop;
    QTimer::singleShot(popoverSeconds * 1000, &loop, &QEventLoop::quit);
    loop.exec();
    if (feeder) {
        feeder->stop();
    }
    ticker.stop();
    // Let the last posted connections and the popover's pending rows arrive.
    QElapsedTimer settle;
    settle.start();
    while (settle.elapsed() < 100) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }

    Stalls stalls;
    stalls.cpu = threadCpuSeconds() - cpuBefore;
    std::sort(gaps.begin(), gaps.end());
    stalls.ticks = gaps.size();
    if (!gaps.empty()) {
        stalls.longest = gaps.back() / 1e6;
        stalls.p99 = gaps[gaps.size() * 99 / 100] / 1e6;
    }
    return stalls;
}

void popoverUnderLoad(MonitorViewController& monitor, const QList<AppPtr>& apps) {
    monitor.clearButtonClicked();
    std::mt19937 random(1);
    for (int i = 0; i < 20; ++i) {
        monitor.connectionMade(makeConnection(random), apps[i]);
    }
    QCoreApplication::processEvents();
    auto* cell = qobject_cast<MonitorTableCellView*>(monitor.tableView()->viewAtColumn(0, 0, false));
    if (!cell) {
        std::printf("\n2. no cell view for row 0; popover run skipped\n");
        return;
    }
    cell->inspectButton()->click();
    Popover* popover = Popover::lastShown();
    auto content =
        popover ? std::dynamic_pointer_cast<ConnectionsViewController>(popover->contentViewController())
                : nullptr;
    if (!content) {
        std::printf("\n2. the popover did not open; run skipped\n");
        return;
    }

    // The same measurement without traffic first: on a shared machine the scheduler alone stalls
    // the main thread, and that baseline belongs next to the figure under load.
    const Stalls idle = measureStalls(nullptr);
    Feeder feeder(monitor, apps[0]);
    const Stalls busy = measureStalls(&feeder);

    std::printf("\n2. popover open on an application receiving %d connections/s for %d s\n", popoverRate,
                popoverSeconds);
    std::printf("   posted %d, shown in the popover %d rows (popover %s)\n", feeder.posted(),
                content->arrayController()->rowCount(),
                popover == Popover::lastShown() ? "still open" : "closed");
    std::printf("   longest main-thread stall: %.2f ms (target < 16 ms); 99th percentile gap %.2f ms; "
                "%zu ticks of a 1 ms timer\n",
                busy.longest, busy.p99, busy.ticks);
    std::printf("   the same popover without traffic: longest %.2f ms, 99th percentile %.2f ms, %zu ticks\n",
                idle.longest, idle.p99, idle.ticks);
    std::printf("   main-thread CPU under traffic: %.1f%% of one core, %.1f us per connection\n",
                busy.cpu * 100.0 / popoverSeconds, busy.cpu * 1e6 / std::max(feeder.posted(), 1));
    popover->close();
}

} // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "-h" || option == "--help") {
            std::puts("usage: monitor_load [--feed | --popover | --bound]   (every part when none is given)");
            return EXIT_SUCCESS;
        }
        if (option != "--feed" && option != "--popover" && option != "--bound") {
            std::fprintf(stderr, "monitor_load: unknown option %s (try --help)\n", argv[i]);
            return 2;
        }
    }
    const ScratchHome home;
    QApplication app(argc, argv);
    printMachine();
    std::printf("load average at start: %s\n", qPrintable(loadAverage()));

    Storyboard storyboard(QStringLiteral("Main"));
    registerMonitorScenes(storyboard);
    auto monitor = storyboard.instantiate<MonitorViewController>(SceneIdentifiers::monitorViewController());
    QWidget* view = monitor->view();
    view->resize(640, 480);
    view->show();
    QCoreApplication::processEvents();

    // "--feed" or "--popover" runs only that part.
    const QStringList arguments = QCoreApplication::arguments();
    const bool all = !arguments.contains(QStringLiteral("--feed")) &&
                     !arguments.contains(QStringLiteral("--popover")) &&
                     !arguments.contains(QStringLiteral("--bound"));
    const QList<AppPtr> apps = makeApps();
    if (all || arguments.contains(QStringLiteral("--feed"))) {
        feedAMillion(*monitor, apps);
    }
    if (all || arguments.contains(QStringLiteral("--popover"))) {
        popoverUnderLoad(*monitor, apps);
    }
    if (all || arguments.contains(QStringLiteral("--bound"))) {
        monitor->clearButtonClicked();
        feedAMillionToFew(*monitor, apps);
    }

    monitor->clearButtonClicked();
    Blacklist::resetShared();
    KextClient::resetShared();
    return EXIT_SUCCESS;
}
