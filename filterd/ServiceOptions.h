// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "filterd/simulator/SimulatorHelper.h"

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace Filterd {

// The command line of quilvane-filterd. Parsing never exits or prints: it says what to do (run,
// print help or the version, unload, be a simulated application) or why the line is wrong.
struct ServiceOptions {
    enum class Action { run, help, version, unload, simulatorHelper, check, invalid };

    Action action = Action::run;
    std::string error; // for Action::invalid

    std::string controlDirectory; // --control-dir, else $QUILVANE_CONTROL_DIR, else /run/quilvane
    std::string group = "quilvane";
    bool simulate = false;
    double rate = 0;
    std::string pinDirectory = "/sys/fs/bpf/quilvane"; // empty with --no-pin
    std::string cgroupPath;                            // empty: the cgroup v2 root
    std::size_t queueCapacity = 16384;
    bool verbose = false;
    std::string listsDirectory;          // --lists-dir, else /etc/quilvane/lists.d
    std::string configFile;              // --config, else /etc/quilvane/filterd.conf
    std::optional<bool> journal;         // --journal / --no-journal; unset: as the config file says
    std::vector<std::string> checkFiles; // --check FILE…
    SimulatorHelper::Options helper;

    static ServiceOptions parse(int argc, const char* const* argv);
    static std::string usage();
};

} // namespace Filterd
