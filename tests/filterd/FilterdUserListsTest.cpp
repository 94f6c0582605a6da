// SPDX-License-Identifier: GPL-3.0-or-later
// Each user's list applies to that user's processes, root's to every process, and each user's
// client sees the records of that user's processes only.
#include "tests/filterd/PrivilegedFilterdTest.h"
#include "wire/ServiceLimits.h"

#include <arpa/inet.h>
#include <atomic>
#include <fstream>
#include <grp.h>
#include <sys/wait.h>
#include <thread>
#include <sys/stat.h>

using namespace FilterdTestSupport;
using namespace Quilvane::Wire;
using namespace std::chrono_literals;

namespace {

constexpr int kAllowed = 0;
constexpr int kRefused = 3;

// Sets a sysctl for the scope of a test and puts the old value back.
class TemporarySysctl final {
public:
    TemporarySysctl(std::string path, const std::string& value)
        : m_path(std::move(path)) {
        std::ifstream(m_path) >> m_old;
        std::ofstream(m_path) << value;
    }
    ~TemporarySysctl() { std::ofstream(m_path) << m_old; }

private:
    std::string m_path;
    std::string m_old;
};

} // namespace

class FilterdUserListsTest : public PrivilegedFilterdTest {
protected:
    void SetUp() override {
        PrivilegedFilterdTest::SetUp();
        if (IsSkipped()) {
            return;
        }
        const std::string pid = std::to_string(::getpid());
        m_a = TemporaryUser::create("qva" + pid);
        m_b = TemporaryUser::create("qvb" + pid, "users"); // a gid apart from its uid
        ASSERT_TRUE(m_a && m_b) << "useradd failed";
        ASSERT_NE(m_b->gid(), m_b->uid());
        // Both may reach the socket and run the probes; group root is the service's group here.
        ::chmod(m_dir.path().toLocal8Bit().constData(), 0755);
        ::chmod(path("bin").c_str(), 0755);
        m_tcp = listenOnLoopback(AF_INET, SOCK_STREAM);
        ASSERT_TRUE(m_tcp.fd);
    }

    RunOptions as(const TemporaryUser& user) {
        RunOptions options;
        options.uid = user.uid();
        options.gid = user.gid();
        return options;
    }
    std::optional<ControlClient> clientOf(const TemporaryUser& user) {
        return ControlClient::connectAs(socketPath(), user.uid(), user.gid(), {0});
    }
    ProbeResult run(const std::string& program, const RunOptions& options = {}) {
        return runProgram({program, "connect4", std::to_string(m_tcp.port)}, options);
    }

    std::unique_ptr<TemporaryUser> m_a;
    std::unique_ptr<TemporaryUser> m_b;
    Listener m_tcp;
};

TEST_F(FilterdUserListsTest, EachUsersListAppliesToThatUserAndRootsToEveryone) {
    m_service = startService();
    ASSERT_TRUE(m_service);
    auto a = clientOf(*m_a);
    auto b = clientOf(*m_b);
    auto root = ControlClient::connect(socketPath());
    ASSERT_TRUE(a && b && root);

    ASSERT_TRUE(setList(*a, {m_blockedName}));
    ASSERT_TRUE(setList(*b, {}));
    const auto refusedForA = run(m_blockedProbe, as(*m_a));
    EXPECT_EQ(refusedForA.exitCode, kRefused) << "A's list stays when B sends an empty one";
    const auto allowedForB = run(m_blockedProbe, as(*m_b));
    EXPECT_EQ(allowedForB.exitCode, kAllowed) << "B's copy of the same program";
    EXPECT_EQ(run(m_blockedProbe).exitCode, kAllowed) << "and root's";

    ASSERT_TRUE(setList(*b, {m_freeName}));
    EXPECT_EQ(run(m_freeProbe, as(*m_b)).exitCode, kRefused);
    EXPECT_EQ(run(m_freeProbe, as(*m_a)).exitCode, kAllowed) << "B cannot block A's processes";
    EXPECT_EQ(run(m_freeProbe).exitCode, kAllowed) << "nor root's";

    const auto refusal = a->waitForRecord(
        [&](const RecordBuffer& r) { return recordCommand(r) == 2 && recordPid(r) == refusedForA.pid; });
    EXPECT_TRUE(refusal) << "A's client hears of A's refused attempt";
    EXPECT_FALSE(
        a->waitForRecord([&](const RecordBuffer& r) { return recordPid(r) == allowedForB.pid; }, 300ms))
        << "A's client never sees B's processes";
    EXPECT_TRUE(root->waitForRecord([&](const RecordBuffer& r) { return recordPid(r) == allowedForB.pid; }))
        << "root's client sees them all";

    ASSERT_TRUE(setList(*root, {m_blockedName}));
    EXPECT_EQ(run(m_blockedProbe, as(*m_b)).exitCode, kRefused) << "root's list blocks B";
    EXPECT_EQ(run(m_blockedProbe).exitCode, kRefused) << "and root";
    ASSERT_TRUE(setList(*root, {}));
    EXPECT_EQ(run(m_blockedProbe, as(*m_a)).exitCode, kRefused) << "root's empty list leaves A's";
}

// A desktop user's socket buffer stays at the stock net.core.wmem_default of 212992 bytes (and may
// grow to twice wmem_max, the same on stock kernels): the longest list the service takes, four times
// that, still arrives whole.
TEST_F(FilterdUserListsTest, AUsersLongestListArrivesWholeThroughAStockSocketBuffer) {
    const TemporarySysctl stockLimit("/proc/sys/net/core/wmem_max", "212992");
    m_service = startService();
    ASSERT_TRUE(m_service);
    auto a = clientOf(*m_a);
    ASSERT_TRUE(a);
    std::vector<std::string> names = {m_blockedName}; // in the first part
    std::size_t bytes = m_blockedName.size() + 1;
    for (std::size_t i = 1; i < kMaxBlockListNames; ++i) {
        names.push_back(std::to_string(i) + "-listed");
        bytes += names.back().size() + 1;
    }
    ASSERT_GT(bytes, 2u * 212992u);
    ASSERT_TRUE(setList(*a, names));
    EXPECT_NE(m_service->log().find("is in force (65536 names)"), std::string::npos) << m_service->log();
    EXPECT_EQ(run(m_blockedProbe, as(*m_a)).exitCode, kRefused);
}

// Lists are served fairly: one user sending the longest lists without pause holds up another user's
// list by one of them at most, and the list for every process by none.
TEST_F(FilterdUserListsTest, AUserWhoKeepsSendingListsHoldsUpNoOneElse) {
    m_service = startService();
    ASSERT_TRUE(m_service);
    auto a = clientOf(*m_a);
    auto b = clientOf(*m_b);
    auto root = ControlClient::connect(socketPath());
    ASSERT_TRUE(a && b && root);
    std::vector<std::string> longest;
    for (std::size_t i = 0; i < kMaxBlockListNames; ++i) {
        longest.push_back(std::to_string(i) + "-flood");
    }
    std::atomic<bool> stop = false;
    std::thread flood([&] {
        while (!stop && a->sendNames(longest)) {
        }
    });
    const std::string aInForce = "the list of uid " + std::to_string(m_a->uid()) + " is in force";
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return m_service->log().find(aInForce) != std::string::npos; },
                                           20000ms));
    const std::size_t sentAt = m_service->log().size();
    ASSERT_TRUE(b->sendNames({m_blockedName}));
    ASSERT_TRUE(root->sendNames({m_freeName}));
    const std::string bInForce = "the list of uid " + std::to_string(m_b->uid()) + " is in force (1 names)";
    const bool applied = TestEnvironment::waitUntil(
        [&] { return m_service->log().find(bInForce, sentAt) != std::string::npos; }, 20000ms);
    stop = true;
    flood.join();
    ASSERT_TRUE(applied) << "B's list never came into force";
    const std::string log = m_service->log();
    const std::size_t bAt = log.find(bInForce, sentAt);
    std::size_t floodLists = 0;
    for (auto at = log.find(aInForce, sentAt); at < bAt; at = log.find(aInForce, at + 1)) {
        ++floodLists;
    }
    EXPECT_LE(floodLists, 2u) << "lists of the flooding user applied before B's";
    EXPECT_LT(log.find("the list for every process is in force (1 names)", sentAt), bAt)
        << "the list for every process waits behind no user";
}

// A uid given to a new user must not come with the blocks of the user who had it before.
TEST_F(FilterdUserListsTest, ADeletedUsersListIsRemoved) {
    m_service = startService();
    ASSERT_TRUE(m_service);
    auto leaving = TemporaryUser::create("qvc" + std::to_string(::getpid()));
    ASSERT_TRUE(leaving);
    const uid_t uid = leaving->uid();
    {
        auto client = clientOf(*leaving);
        ASSERT_TRUE(client);
        ASSERT_TRUE(setList(*client, {m_blockedName}));
    }
    RunOptions sameUid = as(*leaving);
    ASSERT_EQ(run(m_blockedProbe, sameUid).exitCode, kRefused);
    leaving.reset(); // userdel
    EXPECT_TRUE(TestEnvironment::waitUntil(
        [&] {
            return m_service->log().find("uid " + std::to_string(uid) + " no longer exists") != std::string::npos;
        },
        5000ms))
        << m_service->log();
    EXPECT_EQ(run(m_blockedProbe, sameUid).exitCode, kAllowed) << "the next owner of the uid";
}

// One user making UDP flows as fast as it can costs only its own records.
TEST_F(FilterdUserListsTest, OneUsersFloodLeavesAnotherUsersRecordsDelivered) {
    m_service = startService();
    ASSERT_TRUE(m_service);
    auto b = clientOf(*m_b);
    ASSERT_TRUE(b);
    const uid_t floodUid = m_a->uid();
    const gid_t floodGid = m_a->gid();
    const pid_t flood = spawnLogged(path("flood.log"), [&] {
        if (::setgroups(0, nullptr) != 0 || ::setgid(floodGid) != 0 || ::setuid(floodUid) != 0) {
            return;
        }
        const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in peer{};
        peer.sin_family = AF_INET;
        for (std::uint32_t i = 0;; ++i) {
            peer.sin_addr.s_addr = htonl(0x7f000000u | ((i >> 16) & 0xffffu) << 8 | 1u);
            peer.sin_port = htons(static_cast<std::uint16_t>(1024 + (i & 0xffffu) % 60000));
            ::sendto(fd, "x", 1, 0, reinterpret_cast<const sockaddr*>(&peer), sizeof peer);
        }
    });
    ASSERT_GT(flood, 0);
    std::this_thread::sleep_for(500ms);
    const auto probe = run(m_freeProbe, as(*m_b));
    const auto record = b->waitForRecord([&](const RecordBuffer& r) { return recordPid(r) == probe.pid; });
    ::kill(flood, SIGKILL);
    ::waitpid(flood, nullptr, 0);
    EXPECT_EQ(probe.exitCode, kAllowed);
    EXPECT_TRUE(record) << "B's connection was reported to B during A's flood";
}

TEST_F(FilterdUserListsTest, ListsSurviveARestartPerUser) {
    m_service = startService();
    ASSERT_TRUE(m_service);
    {
        auto a = clientOf(*m_a);
        auto b = clientOf(*m_b);
        ASSERT_TRUE(a && b);
        ASSERT_TRUE(setList(*a, {m_blockedName}));
        ASSERT_TRUE(setList(*b, {m_freeName}));
    }
    m_service->stop(SIGKILL);
    m_service = startService();
    ASSERT_TRUE(m_service);
    EXPECT_EQ(run(m_blockedProbe, as(*m_a)).exitCode, kRefused);
    EXPECT_EQ(run(m_freeProbe, as(*m_a)).exitCode, kAllowed);
    EXPECT_EQ(run(m_freeProbe, as(*m_b)).exitCode, kRefused);
    EXPECT_EQ(run(m_blockedProbe, as(*m_b)).exitCode, kAllowed);
}
