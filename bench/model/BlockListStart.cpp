// SPDX-License-Identifier: GPL-3.0-or-later
// What a long block list costs at start-up, as one run prints it: 100,000 stored entries (half paths
// of real programs, half bare process names; --entries N for another size) read from the settings
// file, loaded into the block list, made into firewall rows and into the command for the filter
// service. Prints the time of each step, the total, and the memory kept per stored entry.

#include "bench/model/StoredEntries.h"
#include "bench/support/MachineDescription.h"
#include "model/SettingsKeys.h"
#include "model/Blacklist.h"
#include "model/BlockedApp.h"
#include "model/FilterCommand.h"
#include "platform/UserDefaults.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <malloc.h>
#include <string>
#include <unistd.h>

namespace {

size_t heapInUse() {
    return mallinfo2().uordblks;
}

QString loadAverage() {
    QFile file(QStringLiteral("/proc/loadavg"));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll().trimmed())
                                          : QStringLiteral("unknown");
}

} // namespace

int main(int argc, char** argv) {
    int entries = 100'000;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "-h" || option == "--help") {
            std::puts("usage: blocklist_start [--entries N]   (100000 when not given)");
            return EXIT_SUCCESS;
        }
        if (option == "--entries" && i + 1 < argc && std::atoi(argv[i + 1]) > 0) {
            entries = std::atoi(argv[++i]);
            continue;
        }
        std::fprintf(stderr, "blocklist_start: unknown option or missing number: %s (try --help)\n", argv[i]);
        return 2;
    }
    // Settings and programs in temporary folders, never the user's own.
    QTemporaryDir home;
    QTemporaryDir programs(QDir::tempPath() + QStringLiteral("/quilvane-bench-programs-XXXXXX"));
    qputenv("XDG_CONFIG_HOME", home.path().toUtf8());
    QCoreApplication app(argc, argv);
    std::printf("machine: %s\n", machineDescription().c_str());

    UserDefaults::standard().setValue(QVariant(makeStoredEntries(programs, entries)),
                                      SettingsKeys::blacklist);
    UserDefaults::resetStandard();
    std::system("sync");

    const size_t heapBefore = heapInUse();
    const std::clock_t cpuBefore = std::clock();
    QElapsedTimer clock;
    clock.start();
    UserDefaults::standard().boolForKey(QStringLiteral("enableFirewall"));
    const qint64 read = clock.elapsed();
    const Blacklist& blacklist = Blacklist::shared();
    const qint64 loaded = clock.elapsed();
    QList<BlockedApp> rows;
    rows.reserve(blacklist.apps().size());
    for (const AppPtr& entry : blacklist.apps()) {
        rows.append(BlockedApp(entry));
    }
    const qint64 rowsMade = clock.elapsed();
    const size_t heapKept = heapInUse();
    const FilterCommand command = FilterCommand::forBlacklist(&blacklist, true);
    const qint64 total = clock.elapsed();
    const double cpu = static_cast<double>(std::clock() - cpuBefore) * 1000.0 / CLOCKS_PER_SEC;

    std::printf("%d stored entries (%lld loaded)\n", entries,
                static_cast<long long>(blacklist.apps().size()));
    std::printf(
        "  settings read %lld ms, block list loaded %lld ms, rows made %lld ms, command built %lld ms\n",
        read, loaded - read, rowsMade - loaded, total - rowsMade);
    std::printf("  start total: %lld ms of wall time (target < 2000 ms), %.0f ms of CPU\n", total, cpu);
    std::printf("  load average: %s\n", qPrintable(loadAverage()));
    std::printf(
        "  memory per stored entry: %.0f bytes (settings values, block list and rows; target <= 1024)\n",
        static_cast<double>(heapKept - heapBefore) / entries);
    std::printf("  command: %s, %zu names, %zu bytes\n",
                command.replacesServiceList() ? "sent" : "not sent (over the service's limits)",
                command.nameCount(), command.payload().size());
    return EXIT_SUCCESS;
}
