// SPDX-License-Identifier: GPL-3.0-or-later
// Block list figures at the size of a long-lived list: loading 10,000 stored entries (half paths of
// real executables, half bare process names) and one block or unblock with its save in such a list.

#include "bench/model/StoredEntries.h"
#include "bench/support/MachineDescription.h"
#include "model/SettingsKeys.h"
#include "model/Blacklist.h"
#include "platform/UserDefaults.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QStringList>
#include <QSysInfo>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>
#include <unistd.h>

namespace {

constexpr int listSize = 10'000;

QTemporaryDir* s_programs = nullptr;

QStringList storedIdentifiers() {
    static const QStringList identifiers = makeStoredEntries(*s_programs, listSize);
    return identifiers;
}

void storeList() {
    UserDefaults::standard().setValue(QVariant(storedIdentifiers()), SettingsKeys::blacklist);
    UserDefaults::resetStandard();
}

void BM_LoadStoredList(benchmark::State& state) {
    storeList();
    for (auto _ : state) {
        UserDefaults::resetStandard(); // read the file again, as at start-up
        Blacklist list(SettingsKeys::blacklist);
        if (list.apps().size() != listSize) {
            state.SkipWithError(QStringLiteral("entries were lost while loading: %1 of %2")
                                    .arg(list.apps().size())
                                    .arg(listSize)
                                    .toStdString()
                                    .c_str());
            break;
        }
    }
    state.counters["entries"] = listSize;
}
BENCHMARK(BM_LoadStoredList)->Unit(benchmark::kMillisecond);

void BM_BlockAndSave(benchmark::State& state) {
    storeList();
    Blacklist list(SettingsKeys::blacklist);
    const AppPtr app = App::initWithIdentifier(QStringLiteral("newcomer"));
    for (auto _ : state) {
        list.block(app);
        state.PauseTiming();
        list.unblock(app);
        state.ResumeTiming();
    }
    state.counters["entries"] = listSize;
}
BENCHMARK(BM_BlockAndSave)->Unit(benchmark::kMillisecond);

void BM_UnblockAndSave(benchmark::State& state) {
    storeList();
    Blacklist list(SettingsKeys::blacklist);
    // The last entry: the search walks the whole list before it finds it.
    const AppPtr app = list.apps().constLast();
    for (auto _ : state) {
        list.unblock(app);
        state.PauseTiming();
        list.block(app);
        state.ResumeTiming();
    }
    state.counters["entries"] = listSize;
}
BENCHMARK(BM_UnblockAndSave)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    // Settings and programs go to a temporary folder, never to the user's own.
    QTemporaryDir home;
    QTemporaryDir programs(QDir::tempPath() + QStringLiteral("/quilvane-bench-programs-XXXXXX"));
    qputenv("XDG_CONFIG_HOME", home.path().toUtf8());
    s_programs = &programs;
    QCoreApplication app(argc, argv);

    benchmark::AddCustomContext("machine",
                                machineDescription() + ", " + QSysInfo::prettyProductName().toStdString());
    benchmark::AddCustomContext("settings folder", home.path().toStdString());
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
