// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <cstdint>

// One simulated application: a copy of the service's own binary, started under a name of its own,
// that connects to the simulator's loopback listeners every so often and sends it a datagram, so
// that --simulate shows real processes with real pids making real connections.
namespace Filterd::SimulatorHelper {

struct Options {
    std::uint16_t tcp4Port = 0;
    std::uint16_t tcp6Port = 0; // 0: no IPv6 loopback
    std::uint16_t udpPort = 0;
    std::chrono::milliseconds interval{1000};
};

// Runs until the process is killed (the simulator kills its helpers, and the kernel sends them
// SIGKILL when the simulator dies).
int run(const Options& options);

} // namespace Filterd::SimulatorHelper
