// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/filterd/JournalDaemon.h"

#include "tests/support/TestEnvironment.h"

#include <QJsonDocument>
#include <array>
#include <csignal>
#include <cstdio>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

constexpr const char* kJournald = "/lib/systemd/systemd-journald";
constexpr const char* kSocket = "/run/systemd/journal/socket";
// journald's own limit (10,000 entries per 30 s from one cgroup) would drop what the tests count;
// a drop-in in /run lasts only as long as the daemon we start.
constexpr const char* kDropInFolder = "/run/systemd/journald.conf.d";

bool journaldRunning() {
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", ignored)) {
        std::ifstream comm(entry.path() / "comm");
        std::string name;
        if (std::getline(comm, name) && name == "systemd-journal") {
            return true;
        }
    }
    return false;
}

std::string run(const std::string& command) {
    std::string output;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return output;
    }
    std::array<char, 65536> buffer{};
    std::size_t got = 0;
    while ((got = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) {
        output.append(buffer.data(), got);
    }
    ::pclose(pipe);
    return output;
}

} // namespace

std::unique_ptr<JournalDaemon> JournalDaemon::use(std::string& why) {
    std::unique_ptr<JournalDaemon> daemon(new JournalDaemon());
    if (journaldRunning()) {
        return daemon;
    }
    if (::access(kJournald, X_OK) != 0) {
        why = std::string(kJournald) + " is not installed (Debian package systemd)";
        return nullptr;
    }
    if (::geteuid() != 0) {
        why = "starting systemd-journald needs root";
        return nullptr;
    }
    std::filesystem::create_directories("/run/systemd/journal");
    std::filesystem::create_directories(kDropInFolder);
    daemon->m_dropIn = std::string(kDropInFolder) + "/quilvane-tests.conf";
    std::ofstream(daemon->m_dropIn) << "[Journal]\nRateLimitBurst=0\n";
    const char* argv[] = {kJournald, nullptr};
    if (::posix_spawn(&daemon->m_started, kJournald, nullptr, nullptr, const_cast<char* const*>(argv),
                      environ) != 0) {
        why = "cannot start systemd-journald";
        return nullptr;
    }
    struct stat info {};
    if (!TestEnvironment::waitUntil([&] { return ::stat(kSocket, &info) == 0 && S_ISSOCK(info.st_mode); },
                                    std::chrono::milliseconds(10000))) {
        why = "systemd-journald did not open " + std::string(kSocket);
        return nullptr;
    }
    return daemon;
}

JournalDaemon::~JournalDaemon() {
    if (m_started > 0) {
        ::kill(m_started, SIGTERM);
        int status = 0;
        ::waitpid(m_started, &status, 0);
    }
    if (!m_dropIn.empty()) {
        ::unlink(m_dropIn.c_str());
    }
}

std::vector<QJsonObject> JournalDaemon::entries(const std::vector<std::string>& matches) {
    run("journalctl --sync 2>/dev/null");
    std::string command = "journalctl --no-pager -o json";
    for (const std::string& match : matches) {
        command += " '" + match + "'";
    }
    command += " 2>/dev/null";
    std::vector<QJsonObject> found;
    const std::string output = run(command);
    for (std::size_t start = 0; start < output.size();) {
        auto end = output.find('\n', start);
        end = end == std::string::npos ? output.size() : end;
        const auto document =
            QJsonDocument::fromJson(QByteArray::fromStdString(output.substr(start, end - start)));
        if (document.isObject()) {
            found.push_back(document.object());
        }
        start = end + 1;
    }
    return found;
}
