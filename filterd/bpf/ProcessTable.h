#pragma once

#include "filterd/bpf/FilterShared.h"

#include <cstddef>
#include <optional>
#include <string>

namespace Filterd {

// The processes that were running before the kernel programs could watch their execs. The exec
// tracepoint keeps the table from then on; these get their names from /proc once, at start: the
// executable's file name and, for an interpreter, the #! script named on its command line.
class ProcessTable final {
public:
    // The entry of the process whose /proc folder is `procDirectory`; nothing for a kernel thread
    // or a process that is gone.
    static std::optional<qv_process> fromProc(const std::string& procDirectory);

    // Adds every running process that the map does not hold yet (never overwriting an entry the
    // kernel made meanwhile); returns how many were added.
    static std::size_t seed(int processMapFd, const std::string& procRoot = "/proc");
};

} // namespace Filterd
