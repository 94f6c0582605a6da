// SPDX-License-Identifier: GPL-3.0-or-later
// The service as a user runs it without privileges: --simulate, its command line and start-up errors.
#include "tests/filterd/FilterdTestSupport.h"
#include "tests/support/TestEnvironment.h"

#include <QTemporaryDir>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <regex>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace FilterdTestSupport;
using namespace std::chrono_literals;

namespace {

struct Outcome {
    int exitCode = -1;
    std::string output;
};

Outcome runService(std::vector<std::string> args) {
    int out[2];
    EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
    args.insert(args.begin(), serviceBinary());
    std::vector<char*> argv;
    for (auto& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        ::dup2(out[1], STDERR_FILENO);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(out[1]);
    Outcome outcome;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(out[0], buffer, sizeof buffer)) > 0) {
        outcome.output.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(out[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return outcome;
}

// "simulated application NAME runs as pid N" lines of the log.
std::map<std::string, pid_t> helperPids(const std::string& log) {
    std::map<std::string, pid_t> pids;
    const std::regex line("simulated application (\\S+) runs as pid (\\d+)");
    for (auto it = std::sregex_iterator(log.begin(), log.end(), line); it != std::sregex_iterator(); ++it) {
        pids[(*it)[1]] = std::stoi((*it)[2]);
    }
    return pids;
}

char processState(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    std::getline(stat, text);
    const auto close = text.rfind(')');
    return close == std::string::npos || close + 2 >= text.size() ? '?' : text[close + 2];
}

class SimulatedServiceTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_dir.isValid()); }

    std::unique_ptr<ServiceProcess> start(std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"--simulate", "--control-dir", controlDir(), "--group", "root"};
        args.insert(args.end(), extra.begin(), extra.end());
        return ServiceProcess::start(args, m_dir.filePath(QStringLiteral("filterd.log")).toStdString());
    }
    std::string controlDir() const { return m_dir.filePath(QStringLiteral("control")).toStdString(); }
    std::string socketPath() const { return controlDir() + "/com.quilvaneapp.nke.filter"; }

    QTemporaryDir m_dir;
};

} // namespace

TEST_F(SimulatedServiceTest, ReportsRealHelperProcessesAndStopsTheBlockedOne) {
    auto service = start();
    ASSERT_TRUE(service);
    const auto pids = helperPids(service->log());
    ASSERT_EQ(pids.size(), 4u) << service->log();
    const pid_t browser = pids.at("quilvane-sim-browser");
    const pid_t mail = pids.at("quilvane-sim-mail");

    auto client = ControlClient::connect(socketPath());
    ASSERT_TRUE(client);
    const auto outgoingFrom = [](pid_t pid) {
        return [pid](const Quilvane::Wire::RecordBuffer& r) {
            return Quilvane::Wire::recordPid(r) == pid && Quilvane::Wire::recordCommand(r) == 1 &&
                   (recordFamily(r) == 2 || recordFamily(r) == 30) && Quilvane::Wire::recordPort(r) != 0;
        };
    };
    ASSERT_TRUE(client->waitForRecord(outgoingFrom(browser), 5000ms)) << service->log();
    ASSERT_TRUE(
        client->waitForRecord([](const auto& r) { return Quilvane::Wire::recordCommand(r) == 0; }, 5000ms))
        << "the simulator's accepted connections are reported as incoming";

    ASSERT_TRUE(client->sendNames({"quilvane-sim-browser"}));
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return processState(browser) == 'T'; }, 3000ms))
        << "the blocked application's traffic is stopped";
    // Records already on their way before the list changed may still arrive; after that, none.
    client->waitForRecord([](const auto&) { return false; }, 300ms);
    bool browserSeen = false;
    const auto mailRecord = client->waitForRecord(
        [&](const Quilvane::Wire::RecordBuffer& r) {
            browserSeen = browserSeen || Quilvane::Wire::recordPid(r) == browser;
            return Quilvane::Wire::recordPid(r) == mail;
        },
        5000ms);
    EXPECT_TRUE(mailRecord) << "other applications go on being reported";
    EXPECT_FALSE(browserSeen);

    ASSERT_TRUE(client->sendNames({}));
    EXPECT_TRUE(client->waitForRecord(outgoingFrom(browser), 5000ms)) << "unblocked, it is reported again";
    EXPECT_NE(processState(browser), 'T');
}

TEST_F(SimulatedServiceTest, SyntheticRateReachesAReaderWhileAStalledClientOnlyLosesItsOwn) {
    auto service = start({"--rate", "20000", "--queue", "500"});
    ASSERT_TRUE(service);
    auto stalled = ControlClient::connect(socketPath());
    auto reader = ControlClient::connect(socketPath());
    ASSERT_TRUE(stalled && reader);

    int received = 0;
    const auto until = std::chrono::steady_clock::now() + 2s;
    while (std::chrono::steady_clock::now() < until) {
        if (reader->waitForRecord([](const auto&) { return true; }, 100ms)) {
            ++received;
        }
    }
    EXPECT_GT(received, 10000) << "about 40000 are sent in two seconds";
    EXPECT_TRUE(TestEnvironment::waitUntil(
        [&] { return service->log().find("is not keeping up") != std::string::npos; }, 8000ms))
        << service->log();

    const auto pids = helperPids(service->log());
    const int status = service->stop(SIGTERM);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << service->log();
    EXPECT_NE(service->log().find("records dropped for slow clients"), std::string::npos);
    for (const auto& [name, pid] : pids) {
        EXPECT_TRUE(TestEnvironment::waitUntil([pid = pid] { return ::kill(pid, 0) != 0; }, 3000ms))
            << name << " outlived the service";
    }
}

TEST_F(SimulatedServiceTest, AKilledServiceLeavesNoFolderAndNoHelperBehind) {
    const std::string tmp = m_dir.filePath(QStringLiteral("tmp")).toStdString();
    std::filesystem::create_directories(tmp);
    ::setenv("TMPDIR", tmp.c_str(), 1);
    auto service = start();
    ::unsetenv("TMPDIR");
    ASSERT_TRUE(service);
    const auto pids = helperPids(service->log());
    ASSERT_FALSE(std::filesystem::is_empty(tmp)) << "the simulated applications live there";
    auto client = ControlClient::connect(socketPath());
    ASSERT_TRUE(client && client->sendNames({"quilvane-sim-mail"}));
    ASSERT_TRUE(
        TestEnvironment::waitUntil([&] { return processState(pids.at("quilvane-sim-mail")) == 'T'; }));

    service->stop(SIGKILL);
    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return std::filesystem::is_empty(tmp); }, 3000ms));
    for (const auto& [name, pid] : pids) {
        EXPECT_TRUE(TestEnvironment::waitUntil([pid = pid] { return ::kill(pid, 0) != 0; }, 3000ms))
            << name << " outlived the service";
    }
}

TEST(FilterdCommandLine, HelpVersionAndClearStartupErrors) {
    const auto version = runService({"--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.output, "quilvane-filterd 0.1.0\n");

    const auto help = runService({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.output.find("--simulate"), std::string::npos);

    const auto unknown = runService({"--bogus"});
    EXPECT_EQ(unknown.exitCode, 2);
    EXPECT_EQ(unknown.output, "quilvane-filterd: unknown option \"--bogus\" (try --help)\n")
        << "worded as the application words it";

    QTemporaryDir dir;
    const std::string file = dir.filePath(QStringLiteral("file")).toStdString();
    std::ofstream(file) << "x";
    const auto badDir = runService({"--simulate", "--control-dir", file});
    EXPECT_EQ(badDir.exitCode, 1);
    EXPECT_NE(badDir.output.find("cannot start: " + file + " exists and is not a directory"),
              std::string::npos)
        << badDir.output;
}

TEST_F(SimulatedServiceTest, ADemonstrationSaysNothingOfMissingGroups) {
    const auto service = ServiceProcess::start({"--simulate", "--control-dir", controlDir(), "--group",
                                                "quilvane-no-such-group-" + std::to_string(::getpid())},
                                               m_dir.filePath(QStringLiteral("filterd.log")).toStdString());
    ASSERT_TRUE(service);
    EXPECT_EQ(service->log().find("does not exist"), std::string::npos) << service->log();
}
