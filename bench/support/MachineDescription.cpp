// SPDX-License-Identifier: GPL-3.0-or-later
#include "bench/support/MachineDescription.h"

#include <fstream>
#include <sys/utsname.h>
#include <thread>

namespace {

std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::string cpuModel() {
    std::ifstream cpuinfo("/proc/cpuinfo");
    for (std::string line; std::getline(cpuinfo, line);) {
        const auto colon = line.find(':');
        if (line.rfind("model name", 0) == 0 && colon != std::string::npos) {
            return trimmed(line.substr(colon + 1));
        }
    }
    return "unknown CPU";
}

std::string kernelRelease() {
    utsname name{};
    return ::uname(&name) == 0 ? name.release : "unknown";
}

} // namespace

std::string machineDescription() {
    return cpuModel() + ", " + std::to_string(std::thread::hardware_concurrency()) + " cores, Linux " +
           kernelRelease();
}
