// SPDX-License-Identifier: GPL-3.0-or-later
// The service against clients that try to exhaust it: thousands of connect/close cycles, crowds of
// clients of many users that never read, while one well-behaved client keeps reading.
#include "tests/filterd/FilterdTestSupport.h"
#include "tests/support/TestEnvironment.h"

#include <QTemporaryDir>
#include <atomic>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace FilterdTestSupport;
using namespace std::chrono_literals;

namespace {

// The bounds this test holds the service to. Clients: 64 of users other than root and 8 of root;
// each queue holds at most 16384 records, about 430 KB of the simulator's records: some 31 MB in all,
// besides the service's own 7 MB.
// Descriptors: those 72 clients, up to 16 accepted in one wake-up before the limits turn them away,
// and the service's own (listener, epoll, signals, the watches of /etc and of the list files, the
// simulator's helpers), some 25.
constexpr std::size_t kMaxDescriptors = 115;
constexpr std::size_t kMaxRssKb = 48 * 1024;
constexpr std::size_t kMaxRssGrowthAfterBurstKb = 4 * 1024;
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kMemoryIsMeasurable = false; // the sanitizer's allocator keeps freed memory aside
#else
constexpr bool kMemoryIsMeasurable = true;
#endif

std::size_t rssKb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stoul(line.substr(6));
        }
    }
    return 0;
}

std::size_t descriptors(pid_t pid) {
    std::error_code ignored;
    const std::filesystem::directory_iterator fds("/proc/" + std::to_string(pid) + "/fd", ignored);
    return static_cast<std::size_t>(std::distance(fds, std::filesystem::directory_iterator()));
}

// A process of another user (a member of group 0, which the service lets in) that opens
// `count` connections, never reads them, and keeps them until the write end of `release` is closed.
pid_t holdClients(uid_t uid, int count, const std::string& socketPath, const int release[2]) {
    const pid_t child = ::fork();
    if (child != 0) {
        return child;
    }
    ::close(release[1]);
    const gid_t group = 0;
    if (::setgroups(1, &group) != 0 || ::setgid(uid) != 0 || ::setuid(uid) != 0) {
        ::_exit(20);
    }
    std::vector<ControlClient> held;
    for (int i = 0; i < count; ++i) {
        if (auto client = ControlClient::connect(socketPath)) {
            held.push_back(std::move(*client));
        }
    }
    char byte;
    [[maybe_unused]] const ssize_t n = ::read(release[0], &byte, 1);
    ::_exit(0);
}

// Reads every record on its own thread, as the application's reader does.
class Reader final {
public:
    explicit Reader(ControlClient client)
        : m_client(std::move(client))
        , m_thread([this] { run(); }) {}
    ~Reader() {
        m_stop = true;
        m_thread.join();
    }
    std::uint64_t records() const { return m_records; }
    bool closed() const { return m_closed; }

private:
    void run() {
        std::uint8_t buffer[Quilvane::Wire::kRecordBufferSize];
        while (!m_stop && !m_closed) {
            pollfd p{m_client.fd(), POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) {
                continue;
            }
            const ssize_t n = ::recv(m_client.fd(), buffer, sizeof buffer, MSG_DONTWAIT);
            if (n == 0) {
                m_closed = true;
            } else if (n > 0) {
                ++m_records;
            }
        }
    }
    ControlClient m_client;
    std::atomic<std::uint64_t> m_records{0};
    std::atomic<bool> m_closed{false};
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

} // namespace

TEST(HostileClients, ChurnAndCrowdsStayWithinBoundsAndAReaderKeepsGettingRecords) {
    if (!TestEnvironment::isRoot()) {
        GTEST_SKIP() << "needs root to run clients as other users";
    }
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    ::chmod(dir.path().toLocal8Bit().constData(), 0755);
    const std::string controlDir = dir.filePath(QStringLiteral("control")).toStdString();
    const std::string socketPath = controlDir + "/com.quilvaneapp.nke.filter";
    auto service = ServiceProcess::start(
        {"--simulate", "--rate", "20000", "--control-dir", controlDir, "--group", "root"},
        dir.filePath(QStringLiteral("filterd.log")).toStdString());
    ASSERT_TRUE(service);
    auto first = ControlClient::connect(socketPath);
    ASSERT_TRUE(first);
    Reader reader(std::move(*first));
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return reader.records() > 1000; }, 5000ms));
    const std::size_t baselineKb = rssKb(service->pid());

    // Crowds: 12 users with 12 idle clients each, more than both limits allow.
    int release[2];
    ASSERT_EQ(::pipe2(release, O_CLOEXEC), 0);
    std::vector<pid_t> crowds;
    for (uid_t uid = 61000; uid < 61012; ++uid) {
        crowds.push_back(holdClients(uid, 12, socketPath, release));
    }
    // Churn: connect and hang up, as fast as one process can.
    for (int i = 0; i < 3000; ++i) {
        ControlClient::connect(socketPath);
    }
    // Waited for, not slept on: under a slow (emulated) kernel the crowds take a while to connect.
    EXPECT_TRUE(TestEnvironment::waitUntil(
        [&] { return service->log().find("64 connections in all") != std::string::npos; }, 30000ms))
        << "the total limit was reached; the log:\n" << service->log().substr(0, 4000);
    std::this_thread::sleep_for(3s); // the idle clients' queues fill up at 20,000 records a second
    const std::size_t peakKb = rssKb(service->pid());
    const std::size_t peakFds = descriptors(service->pid());

    ::close(release[1]);
    for (const pid_t crowd : crowds) {
        int status = 0;
        ::waitpid(crowd, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    }
    ::close(release[0]);
    // Memory comes back once the service has closed the crowds and trimmed its heap.
    TestEnvironment::waitUntil([&] { return rssKb(service->pid()) <= baselineKb + kMaxRssGrowthAfterBurstKb; },
                               15000ms);
    const std::size_t afterKb = rssKb(service->pid());
    const std::size_t afterFds = descriptors(service->pid());
    std::printf(
        "service RSS: %zu KB at rest, %zu KB with full crowds, %zu KB after; descriptors %zu, then %zu\n",
        baselineKb, peakKb, afterKb, peakFds, afterFds);

    EXPECT_LE(peakFds, kMaxDescriptors);
    if (kMemoryIsMeasurable) {
        EXPECT_LE(peakKb, kMaxRssKb);
        EXPECT_LE(afterKb, baselineKb + kMaxRssGrowthAfterBurstKb) << "memory is returned after the burst";
    }
    const std::string log = service->log();
    EXPECT_NE(log.find("already has 8 connections"), std::string::npos) << "the per-user limit was reached";

    const std::uint64_t before = reader.records();
    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return reader.records() > before + 1000; }, 5000ms))
        << "the well-behaved client still gets its records";
    EXPECT_FALSE(reader.closed());
    EXPECT_EQ(::kill(service->pid(), 0), 0);
}
