// SPDX-License-Identifier: GPL-3.0-or-later
#include "filterd/ServiceOptions.h"

#include "filterd/config/ServiceConfig.h"
#include "wire/ControlPath.h"
#include "wire/ListFile.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string_view>

namespace Filterd {
namespace {

template <typename T> bool parseNumber(std::string_view text, T& out, T minimum, T maximum) {
    T value{};
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    if (result.ec != std::errc() || result.ptr != text.data() + text.size() || value < minimum ||
        value > maximum) {
        return false;
    }
    out = value;
    return true;
}

} // namespace

std::string ServiceOptions::usage() {
    return "Usage: quilvane-filterd [options]\n"
           "\n"
           "The filter service of Quilvane: blocks the network traffic of executables by name with eBPF\n"
           "and reports every connection to the clients of its control socket. Runs as root.\n"
           "\n"
           "Options:\n"
           "  --control-dir DIR  folder of the control socket (default: $QUILVANE_CONTROL_DIR,\n"
           "                     else /run/quilvane)\n"
           "  --group NAME       group whose members may connect (default: quilvane; created if\n"
           "                     missing); root may too, and any user polkit authorises for\n"
           "                     com.quilvaneapp.filter.manage (asked on the system bus)\n"
           "  --simulate         no eBPF and no privileges: simulated applications make loopback\n"
           "                     connections and are reported and blocked by name\n"
           "  --rate N           with --simulate: N synthetic records per second as well\n"
           "  --pin-dir DIR      where the block list and the links are pinned so that blocking\n"
           "                     survives a restart (default: /sys/fs/bpf/quilvane)\n"
           "  --no-pin           pin nothing: blocking ends with the process\n"
           "  --cgroup DIR       guard only the processes of this cgroup v2 folder (default: the\n"
           "                     root of the hierarchy, every process)\n"
           "  --unload           remove the pins of a stopped service, ending its blocking for good\n"
           "  --queue N          records kept for a client that is slow to read (default: 16384,\n"
           "                     at most 2 MiB); 8 clients per user and 64 in all are served\n"
           "  --lists-dir DIR    the administrator's list files, *.list, enforced for every process\n"
           "                     (default: /etc/quilvane/lists.d)\n"
           "  --check FILE...    check list files and exit: file:line: reason for each problem,\n"
           "                     exit code 1 when there is one; needs no root, starts nothing\n"
           "  --config FILE      settings of the service (default: /etc/quilvane/filterd.conf)\n"
           "  --journal          write every connection and refused attempt to the systemd journal\n"
           "                     (as \"journal = yes\" in the settings file)\n"
           "  --no-journal       do not, whatever the settings file says\n"
           "  --verbose          log every connection\n"
           "  --help             show this help\n"
           "  --version          show the version\n";
}

ServiceOptions ServiceOptions::parse(int argc, const char* const* argv) {
    ServiceOptions options;
    options.controlDirectory = Quilvane::Wire::controlDirectory();
    options.listsDirectory = Quilvane::Wire::kListsDirectory;
    options.configFile = ServiceConfig::kDefaultPath;
    const auto fail = [&options](std::string message) {
        options.action = Action::invalid;
        options.error = std::move(message);
        return options;
    };
    bool rateGiven = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const auto value = [&](std::string_view& out) {
            if (i + 1 >= argc) {
                return false;
            }
            out = argv[++i];
            return true;
        };
        std::string_view text;
        if (arg == "--help" || arg == "-h") {
            options.action = Action::help;
            return options;
        }
        if (arg == "--version") {
            options.action = Action::version;
            return options;
        }
        if (arg == "--check") {
            options.action = Action::check;
            options.checkFiles.assign(argv + i + 1, argv + argc);
            if (options.checkFiles.empty()) {
                return fail("--check needs one or more list files");
            }
            return options;
        }
        if (arg == "--simulate") {
            options.simulate = true;
        } else if (arg == "--no-pin") {
            options.pinDirectory.clear();
        } else if (arg == "--unload") {
            options.action = Action::unload;
        } else if (arg == "--journal" || arg == "--no-journal") {
            options.journal = arg == "--journal";
        } else if (arg == "--lists-dir" || arg == "--config") {
            if (!value(text) || text.empty()) {
                return fail(std::string(arg) + (arg == "--config" ? " needs a file" : " needs a folder"));
            }
            (arg == "--config" ? options.configFile : options.listsDirectory) = std::string(text);
        } else if (arg == "--verbose") {
            options.verbose = true;
        } else if (arg == "--simulate-helper") {
            options.action = Action::simulatorHelper;
        } else if (arg == "--control-dir") {
            if (!value(text) || text.empty()) {
                return fail("--control-dir needs a folder");
            }
            options.controlDirectory = std::string(text);
        } else if (arg == "--group") {
            if (!value(text) || text.empty()) {
                return fail("--group needs a group name");
            }
            options.group = std::string(text);
        } else if (arg == "--pin-dir") {
            if (!value(text) || text.empty() || text.front() != '/') {
                return fail("--pin-dir needs an absolute path");
            }
            options.pinDirectory = std::string(text);
        } else if (arg == "--cgroup") {
            if (!value(text) || text.empty() || text.front() != '/') {
                return fail("--cgroup needs an absolute path");
            }
            options.cgroupPath = std::string(text);
        } else if (arg == "--rate") {
            if (!value(text) || !parseNumber(text, options.rate, 0.0, 10'000'000.0)) {
                return fail("--rate needs a number of records per second (0 to 10000000)");
            }
            rateGiven = true;
        } else if (arg == "--queue") {
            if (!value(text) || !parseNumber<std::size_t>(text, options.queueCapacity, 1, 10'000'000)) {
                return fail("--queue needs a number of records (1 to 10000000)");
            }
        } else if (arg == "--tcp4" || arg == "--tcp6" || arg == "--udp") {
            std::uint16_t port = 0;
            if (!value(text) || !parseNumber<std::uint16_t>(text, port, 0, 65535)) {
                return fail(std::string(arg) + " needs a port");
            }
            (arg == "--tcp4"   ? options.helper.tcp4Port
             : arg == "--tcp6" ? options.helper.tcp6Port
                               : options.helper.udpPort) = port;
        } else if (arg == "--interval") {
            long ms = 0;
            if (!value(text) || !parseNumber<long>(text, ms, 1, 3'600'000)) {
                return fail("--interval needs milliseconds");
            }
            options.helper.interval = std::chrono::milliseconds(ms);
        } else {
            return fail("unknown option \"" + std::string(arg) + "\"");
        }
    }
    if (rateGiven && !options.simulate && options.action == Action::run) {
        return fail("--rate only works with --simulate");
    }
    return options;
}

} // namespace Filterd
