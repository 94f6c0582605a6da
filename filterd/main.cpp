// SPDX-License-Identifier: GPL-3.0-or-later
// quilvane-filterd: the filter service of Quilvane.

#include "filterd/FilterService.h"
#include "filterd/Log.h"
#include "filterd/ServiceOptions.h"
#include "filterd/simulator/SimulatorHelper.h"
#include "wire/ListFile.h"

#ifdef QUILVANE_FILTERD_HAVE_BPF
#include "filterd/bpf/BpfFilter.h"
#endif

#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

using namespace Filterd;

namespace {

int unload(const ServiceOptions& options) {
#ifdef QUILVANE_FILTERD_HAVE_BPF
    if (options.pinDirectory.empty()) {
        std::fprintf(stderr, "quilvane-filterd: --unload needs a pin folder (not --no-pin)\n");
        return 2;
    }
    std::string error;
    if (!BpfFilter::unload(options.pinDirectory, error)) {
        Log::line("cannot unload: " + error);
        return 1;
    }
    Log::line("removed the pins in " + options.pinDirectory + "; nothing stays blocked");
    return 0;
#else
    (void)options;
    std::fprintf(stderr, "quilvane-filterd: this build has no eBPF support; there is nothing to unload\n");
    return 1;
#endif
}

// For a configuration repository's CI: the files' contents only, since a checkout is owned by
// whoever checked it out.
int check(const std::vector<std::string>& files) {
    bool clean = true;
    for (const std::string& path : files) {
        const auto file = Quilvane::Wire::ListFile::read(path);
        for (const auto& problem : file.problems()) {
            std::fprintf(stderr, "%s\n", problem.text().c_str());
            clean = false;
        }
    }
    return clean ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    const ServiceOptions options = ServiceOptions::parse(argc, argv);
    switch (options.action) {
    case ServiceOptions::Action::help:
        std::fputs(ServiceOptions::usage().c_str(), stdout);
        return 0;
    case ServiceOptions::Action::version:
        std::printf("quilvane-filterd %s\n", QUILVANE_VERSION);
        return 0;
    case ServiceOptions::Action::invalid:
        std::fprintf(stderr, "quilvane-filterd: %s (try --help)\n", options.error.c_str());
        return 2;
    case ServiceOptions::Action::check:
        return check(options.checkFiles);
    case ServiceOptions::Action::simulatorHelper:
        return SimulatorHelper::run(options.helper);
    case ServiceOptions::Action::unload:
        if (::geteuid() != 0) {
            std::fprintf(stderr, "quilvane-filterd: --unload must run as root\n");
            return 1;
        }
        return unload(options);
    case ServiceOptions::Action::run:
        break;
    }

    if (!options.simulate && ::geteuid() != 0) {
        std::fprintf(stderr,
                     "quilvane-filterd: blocking with eBPF needs root with the capabilities its unit grants "
                     "(CAP_BPF,\n"
                     "CAP_PERFMON, CAP_NET_ADMIN, CAP_CHOWN, CAP_SYS_PTRACE, CAP_DAC_READ_SEARCH).\n"
                     "Run it as root, or try 'quilvane-filterd --simulate', which needs no privileges.\n");
        return 1;
    }
    std::string error;
    auto service = FilterService::create(options, error);
    if (!service) {
        Log::line("cannot start: " + error);
        return 1;
    }
    return service->run();
}
