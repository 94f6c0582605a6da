#pragma once

#include <string>
#include <vector>

namespace Filterd {

// What the service asks of whatever enforces the list and sees the connections: the kernel
// programs, or the simulator that stands in for them without privileges. A backend hands every
// connection it sees to the EventSink it was created with.
class FilterBackend {
public:
    virtual ~FilterBackend() = default;

    // Replaces the whole list in one step. On failure the previous list stays in force and
    // `error` says why.
    virtual bool replaceBlockList(const std::vector<std::string>& names, std::string& error) = 0;

    // Delivers what is pending; the service calls it after every wake-up of its loop.
    virtual void poll() = 0;

    // One line of counters for the log ("events 10, dropped 0").
    virtual std::string statistics() const = 0;
};

} // namespace Filterd
