// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace Filterd {

// The service's settings file, /etc/quilvane/filterd.conf: `key = value` lines, `#` comments.
//   journal = yes|no        write connections to the systemd journal (default no)
//   journal_rate = N        at most N entries a second, the rest counted (default 5000)
// A missing file means the defaults. A line that cannot be understood is reported and ignored;
// a file owned by anyone but root or writable by group or others is not read at all.
struct ServiceConfig {
    static constexpr const char* kDefaultPath = "/etc/quilvane/filterd.conf";

    bool journal = false;
    std::uint32_t journalRate = 5000;
    std::vector<std::string> problems; // "file:line: reason"

    static ServiceConfig read(const std::string& path);
    static ServiceConfig parse(std::string_view text, const std::string& path);
};

} // namespace Filterd
