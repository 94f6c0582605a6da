// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "filterd/bpf/FilterShared.h"

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace Filterd {

// The processes that were running before the kernel programs could watch their execs. The exec
// tracepoint keeps the table from then on; these get their names from /proc once, at start: the
// executable's file name and, for an interpreter, the #! script named on its command line.
class ProcessTable final {
public:
    // The entry of the process whose /proc folder is `procDirectory`; nothing for a kernel thread
    // or a process that is gone.
    static std::optional<qv_process> fromProc(const std::string& procDirectory);

    // The file names of the interpreters whose first argument that is not an option names their
    // script: shells and the language runtimes people write scripts for, as Debian installs them.
    // The exec hook and the scan of /proc read a command line by the same rules.
    static const std::vector<std::string>& interpreterNames();

    // Adds every running process that the map does not hold yet (never overwriting an entry the
    // kernel made meanwhile); returns how many were added.
    static std::size_t seed(int processMapFd, const std::string& procRoot = "/proc");
};

} // namespace Filterd
