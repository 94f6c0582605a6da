// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "filterd/bpf/BpfFilter.h"
#include "filterd/bpf/BpfPaths.h"
#include "tests/filterd/FilterdTestSupport.h"
#include "tests/support/TestEnvironment.h"

#include <QTemporaryDir>
#include <bpf/bpf.h>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

// The fixture of the tests that run the real eBPF service. The test moves itself into a cgroup of
// its own and the service guards only that cgroup, so tests can run side by side and never touch
// the machine's traffic; everything it blocks carries this process's pid in its name as well. Its
// pins and its cgroup are its own too, and TearDown (or the next run, after a crash) removes them.
class PrivilegedFilterdTest : public ::testing::Test {
protected:
    static constexpr const char* kPinPrefix = "/sys/fs/bpf/quilvane-test-";

    void SetUp() override {
        std::string why;
        if (!FilterdTestSupport::canUseBpf(why)) {
            GTEST_SKIP() << why;
        }
        ASSERT_TRUE(m_dir.isValid());
        removePinsOfDeadRuns();
        const std::string pid = std::to_string(::getpid());
        m_pinDir = kPinPrefix + pid;
        ASSERT_NO_FATAL_FAILURE(enterOwnCgroup(pid));
        m_blockedName = "quilvane-blocked-probe-" + pid; // longer than comm's 15 characters
        m_freeName = "quilvane-free-probe-" + pid;
        m_blockedProbe = FilterdTestSupport::copyProbe(path("bin"), m_blockedName);
        m_freeProbe = FilterdTestSupport::copyProbe(path("bin"), m_freeName);
    }

    void TearDown() override {
        m_service.reset();
        if (!m_pinDir.empty()) {
            std::string error;
            EXPECT_TRUE(Filterd::BpfFilter::unload(m_pinDir, error)) << error;
        }
        if (!m_cgroup.empty()) {
            std::ofstream(*Filterd::BpfPaths::cgroup2Mount() + "/cgroup.procs") << ::getpid();
            ::rmdir(m_cgroup.c_str());
        }
    }

    void enterOwnCgroup(const std::string& pid) {
        const auto root = Filterd::BpfPaths::cgroup2Mount();
        ASSERT_TRUE(root) << "no cgroup v2 hierarchy";
        m_cgroup = *root + "/quilvane-test-" + pid;
        ASSERT_TRUE(::mkdir(m_cgroup.c_str(), 0755) == 0 || errno == EEXIST) << std::strerror(errno);
        std::ofstream procs(m_cgroup + "/cgroup.procs");
        procs << ::getpid() << std::flush;
        ASSERT_TRUE(procs.good()) << "cannot move the test into " << m_cgroup;
    }

    std::string path(const char* name) {
        const std::string p = m_dir.filePath(QString::fromLatin1(name)).toStdString();
        std::filesystem::create_directories(std::filesystem::path(p).parent_path());
        if (std::string(name) == "bin") {
            std::filesystem::create_directories(p);
        }
        return p;
    }
    std::string controlDir() { return m_dir.filePath(QStringLiteral("control")).toStdString(); }
    std::string socketPath() { return controlDir() + "/com.quilvaneapp.nke.filter"; }

    std::unique_ptr<FilterdTestSupport::ServiceProcess> startService() {
        return FilterdTestSupport::ServiceProcess::start(
            {"--control-dir", controlDir(), "--group", "root", "--pin-dir", m_pinDir, "--cgroup", m_cgroup},
            path("filterd.log"));
    }

    // Sends the list and waits until the service has it in force.
    bool setList(FilterdTestSupport::ControlClient& client, const std::vector<std::string>& names) {
        const auto applied = [this] {
            std::size_t count = 0;
            const std::string log = m_service->log();
            for (auto at = log.find(" is in force ("); at != std::string::npos;
                 at = log.find(" is in force (", at + 1)) {
                ++count;
            }
            return count;
        };
        const std::size_t before = applied();
        return client.sendNames(names) && TestEnvironment::waitUntil([&] { return applied() > before; },
                                                                     std::chrono::milliseconds(20000));
    }

    int probe(const std::string& binary, const std::string& mode, std::uint16_t port) {
        return FilterdTestSupport::runProbe(binary, mode, port).exitCode;
    }

    // Programs attached to the test's cgroup for one hook.
    std::uint32_t attachedPrograms(bpf_attach_type type) const {
        Quilvane::Wire::UniqueFd cgroup(::open(m_cgroup.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        std::uint32_t ids[64];
        std::uint32_t count = 64;
        if (bpf_prog_query(cgroup.get(), type, 0, nullptr, ids, &count) != 0) {
            return 0;
        }
        return count;
    }

    static void removePinsOfDeadRuns() {
        std::error_code ignored;
        for (const auto& entry : std::filesystem::directory_iterator("/sys/fs/bpf", ignored)) {
            const std::string name = entry.path().string();
            if (name.rfind(kPinPrefix, 0) != 0) {
                continue;
            }
            const pid_t owner = std::atoi(name.c_str() + std::strlen(kPinPrefix));
            if (owner > 0 && ::kill(owner, 0) != 0) {
                std::string error;
                Filterd::BpfFilter::unload(name, error);
                ::rmdir((*Filterd::BpfPaths::cgroup2Mount() + "/quilvane-test-" + std::to_string(owner)).c_str());
            }
        }
    }

    QTemporaryDir m_dir;
    std::string m_pinDir;
    std::string m_cgroup;
    std::string m_blockedName;
    std::string m_freeName;
    std::string m_blockedProbe;
    std::string m_freeProbe;
    std::unique_ptr<FilterdTestSupport::ServiceProcess> m_service;
};
