// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/filterd/PolkitTestBus.h"

#include "tests/filterd/FilterdTestSupport.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sched.h>
#include <sstream>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// Where Debian puts polkitd (12: /usr/lib/polkit-1, later: /usr/libexec).
std::string polkitdPath() {
    for (const char* path : {"/usr/libexec/polkitd", "/usr/lib/polkit-1/polkitd"}) {
        if (::access(path, X_OK) == 0) {
            return path;
        }
    }
    return {};
}

std::string contents(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

bool waitFor(const std::function<bool()>& condition, pid_t child) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) {
            return true;
        }
        if (::waitpid(child, nullptr, WNOHANG) == child) {
            return false;
        }
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

void stopChild(pid_t& pid) {
    if (pid > 0) {
        ::kill(pid, SIGCONT); // a test may have stopped it
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        pid = -1;
    }
}

} // namespace

std::unique_ptr<PolkitTestBus> PolkitTestBus::start(const std::string& folder, const std::string& rules,
                                                    std::string& why) {
    if (::geteuid() != 0) {
        why = "needs root to start polkitd in a mount namespace of its own";
        return nullptr;
    }
    std::unique_ptr<PolkitTestBus> bus(new PolkitTestBus());
    if (!bus->startBus(folder, why) || !bus->startPolkit(folder, rules, why)) {
        return nullptr;
    }
    return bus;
}

std::unique_ptr<PolkitTestBus> PolkitTestBus::startWithoutPolkit(const std::string& folder,
                                                                 std::string& why) {
    std::unique_ptr<PolkitTestBus> bus(new PolkitTestBus());
    if (!bus->startBus(folder, why)) {
        return nullptr;
    }
    return bus;
}

PolkitTestBus::~PolkitTestBus() {
    stopChild(m_polkit);
    stopChild(m_bus);
}

bool PolkitTestBus::startBus(const std::string& folder, std::string& why) {
    if (::access("/usr/bin/dbus-daemon", X_OK) != 0) {
        why = "dbus-daemon is not installed (package dbus-daemon)";
        return false;
    }
    fs::create_directories(folder);
    m_socket = folder + "/system_bus_socket";
    const std::string config = folder + "/system-bus.conf";
    std::ofstream(config)
        << R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=)"
        << m_socket << R"(</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
)";
    const std::string log = folder + "/dbus-daemon.log";
    m_bus = FilterdTestSupport::spawnLogged(log, [&] {
        ::execl("/usr/bin/dbus-daemon", "dbus-daemon", "--nofork", "--nopidfile",
                ("--config-file=" + config).c_str(), nullptr);
    });
    if (!waitFor([&] { return fs::exists(m_socket); }, m_bus)) {
        why = "dbus-daemon did not start: " + contents(log);
        return false;
    }
    return true;
}

bool PolkitTestBus::startPolkit(const std::string& folder, const std::string& rules, std::string& why) {
    const std::string polkitd = polkitdPath();
    if (polkitd.empty()) {
        why = "polkitd is not installed (package polkitd)";
        return false;
    }
    // polkitd drops to its own user: everything it reads must be readable by others.
    const std::string rulesDir = folder + "/rules.d";
    const std::string actionsDir = folder + "/actions";
    fs::create_directories(rulesDir);
    fs::create_directories(actionsDir);
    std::ofstream(rulesDir + "/50-quilvane-test.rules") << rules;
    fs::copy_file(QUILVANE_POLKIT_POLICY, actionsDir + "/com.quilvaneapp.filter.policy",
                  fs::copy_options::overwrite_existing);
    for (const std::string& dir : {folder, rulesDir, actionsDir}) {
        ::chmod(dir.c_str(), 0755);
    }
    ::chmod((rulesDir + "/50-quilvane-test.rules").c_str(), 0644);
    ::chmod((actionsDir + "/com.quilvaneapp.filter.policy").c_str(), 0644);

    const std::string log = folder + "/polkitd.log";
    const std::string address = this->address();
    m_polkit = FilterdTestSupport::spawnLogged(log, [&] {
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount(rulesDir.c_str(), "/etc/polkit-1/rules.d", nullptr, MS_BIND, nullptr) != 0 ||
            ::mount(actionsDir.c_str(), "/usr/share/polkit-1/actions", nullptr, MS_BIND, nullptr) != 0) {
            ::_exit(126);
        }
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
        ::execl(polkitd.c_str(), "polkitd", nullptr);
    });
    if (!waitFor([&] { return contents(log).find("Acquired the name") != std::string::npos; }, m_polkit)) {
        why = "polkitd did not start: " + contents(log);
        return false;
    }
    return true;
}
