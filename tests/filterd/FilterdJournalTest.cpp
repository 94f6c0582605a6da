// SPDX-License-Identifier: GPL-3.0-or-later
// --journal against the real eBPF service and a real journald: every connection becomes one
// structured entry, a client still gets every record, and a flood is cut at the rate limit with a
// count of what was dropped.
#include "filterd/journal/JournalWriter.h"
#include "tests/filterd/JournalDaemon.h"
#include "tests/filterd/PrivilegedFilterdTest.h"

#include <QJsonValue>
#include <arpa/inet.h>
#include <atomic>
#include <fstream>
#include <thread>

using namespace FilterdTestSupport;
using namespace Quilvane::Wire;
using namespace std::chrono_literals;

class FilterdJournalTest : public PrivilegedFilterdTest {
protected:
    void SetUp() override {
        PrivilegedFilterdTest::SetUp();
        if (IsSkipped()) {
            return;
        }
        std::string why;
        m_journal = JournalDaemon::use(why);
        if (!m_journal) {
            GTEST_SKIP() << why;
        }
    }
    void TearDown() override {
        PrivilegedFilterdTest::TearDown();
        m_journal.reset();
    }

    std::unique_ptr<ServiceProcess> startJournalling(const std::string& settings) {
        const std::string config = path("filterd.conf");
        std::ofstream(config) << settings;
        auto service =
            ServiceProcess::start({"--control-dir", controlDir(), "--group", "root", "--pin-dir", m_pinDir,
                                   "--cgroup", m_cgroup, "--config", config, "--lists-dir", path("none")},
                                  path("filterd.log"));
        // Bound after the service started, so that it knows who accepts (post_bind).
        m_tcp = listenOnLoopback(AF_INET, SOCK_STREAM);
        return service;
    }

    // One loopback connection, accepted and closed: an outgoing and an incoming record.
    void connectOnce() {
        UniqueFd client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(m_tcp.port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(::connect(client.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to), 0);
        UniqueFd accepted(::accept4(m_tcp.fd.get(), nullptr, nullptr, SOCK_CLOEXEC));
        ASSERT_TRUE(accepted);
    }

    // Counts this process's outgoing records to the listener as a client receives them.
    std::thread countRecords(ControlClient& client, std::atomic<int>& count, int expected) {
        return std::thread([&client, &count, expected, port = m_tcp.port] {
            client.waitForRecord(
                [&](const RecordBuffer& r) {
                    if (recordCommand(r) == 1 && recordPid(r) == ::getpid() && recordPort(r) == port) {
                        ++count;
                    }
                    return count.load() >= expected;
                },
                60s);
        });
    }

    std::vector<QJsonObject> outgoingEntries() {
        return JournalDaemon::entries(
            {"MESSAGE_ID=" + std::string(Filterd::JournalWriter::kConnectionMessageId),
             "QUILVANE_PID=" + std::to_string(::getpid()),
             "QUILVANE_REMOTE_PORT=" + std::to_string(m_tcp.port), "QUILVANE_DIRECTION=outgoing"});
    }

    std::unique_ptr<JournalDaemon> m_journal;
    Listener m_tcp;
};

TEST_F(FilterdJournalTest, TenThousandConnectionsInTenSecondsAreAllInTheJournalAndWithTheClient) {
    m_service = startJournalling("# as an administrator writes it\njournal = yes\n");
    ASSERT_TRUE(m_service && m_tcp.fd);
    auto client = ControlClient::connect(socketPath());
    ASSERT_TRUE(client);
    constexpr int kConnections = 10000;
    std::atomic<int> received{0};
    std::thread reader = countRecords(*client, received, kConnections);

    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kConnections; ++i) {
        ASSERT_NO_FATAL_FAILURE(connectOnce());
        std::this_thread::sleep_until(start + std::chrono::microseconds(1000) * (i + 1));
    }
    reader.join();
    EXPECT_EQ(received.load(), kConnections) << "the client misses records while the journal is written";

    std::vector<QJsonObject> entries;
    TestEnvironment::waitUntil([&] { return (entries = outgoingEntries()).size() >= kConnections; }, 20s);
    ASSERT_EQ(entries.size(), static_cast<std::size_t>(kConnections)) << m_service->log();
    char self[4096] = {};
    ASSERT_GT(::readlink("/proc/self/exe", self, sizeof self - 1), 0);
    const QJsonObject& entry = entries.front();
    EXPECT_EQ(entry.value(QStringLiteral("QUILVANE_VERDICT")).toString(), QStringLiteral("allowed"));
    EXPECT_EQ(entry.value(QStringLiteral("QUILVANE_UID")).toString(), QString::number(::getuid()));
    EXPECT_EQ(entry.value(QStringLiteral("QUILVANE_EXE")).toString(), QString::fromLocal8Bit(self));
    EXPECT_EQ(entry.value(QStringLiteral("QUILVANE_REMOTE_ADDR")).toString(), QStringLiteral("127.0.0.1"));
    EXPECT_EQ(entry.value(QStringLiteral("QUILVANE_PROTOCOL")).toString(), QStringLiteral("tcp"));
    EXPECT_EQ(entry.value(QStringLiteral("QUILVANE_LOCAL_PORT")).toString(), QStringLiteral("0"));
    EXPECT_FALSE(entry.contains(QStringLiteral("QUILVANE_SCRIPT")));
    EXPECT_FALSE(entry.contains(QStringLiteral("QUILVANE_HOST")));

    // The accepting side of the same connections, as incoming entries.
    const auto incoming =
        JournalDaemon::entries({"QUILVANE_PID=" + std::to_string(::getpid()), "QUILVANE_DIRECTION=incoming"});
    EXPECT_GE(incoming.size(), static_cast<std::size_t>(kConnections));
}

TEST_F(FilterdJournalTest, AFloodIsCutAtTheRateLimitAndTheDropsCounted) {
    m_service = startJournalling("journal = yes\njournal_rate = 200\n");
    ASSERT_TRUE(m_service && m_tcp.fd);
    auto client = ControlClient::connect(socketPath());
    ASSERT_TRUE(client);
    constexpr int kConnections = 3000;
    std::atomic<int> received{0};
    std::thread reader = countRecords(*client, received, kConnections);
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kConnections; ++i) {
        ASSERT_NO_FATAL_FAILURE(connectOnce());
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    reader.join();
    EXPECT_EQ(received.load(), kConnections) << "the rate limit is the journal's alone";
    const pid_t service = m_service->pid();
    ASSERT_EQ(m_service->stop(SIGTERM), 0); // the last count is written at exit

    const auto written =
        JournalDaemon::entries({"_PID=" + std::to_string(service),
                                "MESSAGE_ID=" + std::string(Filterd::JournalWriter::kConnectionMessageId)});
    const auto reports =
        JournalDaemon::entries({"_PID=" + std::to_string(service),
                                "MESSAGE_ID=" + std::string(Filterd::JournalWriter::kDroppedMessageId)});
    ASSERT_FALSE(reports.empty()) << "no count of the dropped entries";
    long long dropped = 0;
    for (const QJsonObject& report : reports) {
        dropped += report.value(QStringLiteral("QUILVANE_DROPPED")).toString().toLongLong();
    }
    // Both sides of each connection were seen; every one is either written or counted.
    EXPECT_EQ(static_cast<long long>(written.size()) + dropped, 2LL * kConnections);
    EXPECT_LE(static_cast<double>(written.size()), 200.0 * (seconds + 2.0) + 200.0);
    std::printf("%zu written, %lld dropped in %.2f s at 200 a second\n", written.size(), dropped, seconds);
}
