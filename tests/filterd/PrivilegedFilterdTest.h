#pragma once

#include "filterd/BpfFilter.h"
#include "filterd/BpfPaths.h"
#include "tests/filterd/FilterdTestSupport.h"
#include "tests/support/TestEnvironment.h"

#include <QTemporaryDir>
#include <bpf/bpf.h>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

// The fixture of the tests that run the real eBPF service. Everything it blocks carries this
// process's pid in its name, so nothing else on the machine is ever blocked, and its pins live in a
// folder of its own that TearDown (or the next run, after a crash) removes.
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
            {"--control-dir", controlDir(), "--group", "root", "--pin-dir", m_pinDir}, path("filterd.log"));
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
                                                                     std::chrono::milliseconds(5000));
    }

    int probe(const std::string& binary, const std::string& mode, std::uint16_t port) {
        return FilterdTestSupport::runProbe(binary, mode, port).exitCode;
    }

    // Programs attached to the cgroup v2 root for one hook.
    static std::uint32_t attachedPrograms(bpf_attach_type type) {
        const auto root = Filterd::BpfPaths::cgroup2Mount();
        Quilvane::Wire::UniqueFd cgroup(::open(root->c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
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
            }
        }
    }

    QTemporaryDir m_dir;
    std::string m_pinDir;
    std::string m_blockedName;
    std::string m_freeName;
    std::string m_blockedProbe;
    std::string m_freeProbe;
    std::unique_ptr<FilterdTestSupport::ServiceProcess> m_service;
};
