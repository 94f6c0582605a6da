// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/filterd/PrivilegedFilterdTest.h"

#include <sys/wait.h>

using namespace FilterdTestSupport;
using namespace Quilvane::Wire;
using namespace std::chrono_literals;

namespace {

constexpr int kAllowed = 0;
constexpr int kRefused = 3;

} // namespace

class FilterdRestartTest : public PrivilegedFilterdTest {};

// What the README promises: the list stays in force while the service is down, whether it was
// killed or stopped; the next instance takes it over without a gap and without adding programs;
// --unload ends it for good.
TEST_F(FilterdRestartTest, BlockingSurvivesTheServiceUntilUnloaded) {
    const auto baseline = attachedPrograms(BPF_CGROUP_INET4_CONNECT);
    auto tcp4 = listenOnLoopback(AF_INET, SOCK_STREAM);
    ASSERT_TRUE(tcp4.fd);

    m_service = startService();
    ASSERT_TRUE(m_service);
    EXPECT_EQ(attachedPrograms(BPF_CGROUP_INET4_CONNECT), baseline + 1);
    {
        auto client = ControlClient::connect(socketPath());
        ASSERT_TRUE(client);
        ASSERT_TRUE(setList(*client, {m_blockedName}));
    }
    ASSERT_EQ(probe(m_blockedProbe, "connect4", tcp4.port), kRefused);

    m_service->stop(SIGKILL);
    EXPECT_EQ(probe(m_blockedProbe, "connect4", tcp4.port), kRefused)
        << "still blocked while the service is down";
    EXPECT_EQ(probe(m_freeProbe, "connect4", tcp4.port), kAllowed);

    m_service = startService();
    ASSERT_TRUE(m_service);
    EXPECT_EQ(attachedPrograms(BPF_CGROUP_INET4_CONNECT), baseline + 1)
        << "the new instance took the old links over";
    EXPECT_EQ(probe(m_blockedProbe, "connect4", tcp4.port), kRefused)
        << "blocked before any client has spoken";
    auto client = ControlClient::connect(socketPath());
    ASSERT_TRUE(client);
    const auto free = runProbe(m_freeProbe, "connect4", tcp4.port);
    EXPECT_TRUE(client->waitForRecord([&](const RecordBuffer& r) { return recordPid(r) == free.pid; }))
        << "the new instance reports through its own programs";

    ASSERT_TRUE(setList(*client, {}));
    EXPECT_EQ(probe(m_blockedProbe, "connect4", tcp4.port), kAllowed)
        << "a new list replaces the one taken over";
    ASSERT_TRUE(setList(*client, {m_blockedName}));

    const int status = m_service->stop(SIGTERM);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(probe(m_blockedProbe, "connect4", tcp4.port), kRefused) << "a clean stop keeps the list too";

    std::string error;
    ASSERT_TRUE(Filterd::BpfFilter::unload(m_pinDir, error)) << error;
    EXPECT_EQ(probe(m_blockedProbe, "connect4", tcp4.port), kAllowed) << "unloading ends the blocking";
    EXPECT_EQ(attachedPrograms(BPF_CGROUP_INET4_CONNECT), baseline) << "and detaches the programs";
    EXPECT_FALSE(std::filesystem::exists(m_pinDir));
}

// Pinned maps keep what a process was told under the instance before: the next instance must decide
// again, however many list changes each has counted.
TEST_F(FilterdRestartTest, AVerdictGivenBeforeARestartIsDecidedAgainAfterIt) {
    auto tcp4 = listenOnLoopback(AF_INET, SOCK_STREAM);
    ASSERT_TRUE(tcp4.fd);
    m_service = startService();
    ASSERT_TRUE(m_service);
    StartedProgram running;
    {
        auto client = ControlClient::connect(socketPath());
        ASSERT_TRUE(client);
        ASSERT_TRUE(setList(*client, {}));
        running = startProgram({m_freeProbe, "againconnect4", std::to_string(tcp4.port)});
        ASSERT_TRUE(UniqueFd(::accept(tcp4.fd.get(), nullptr, nullptr))) << "let through, and remembered";
    }
    m_service->stop(SIGTERM);

    m_service = startService();
    ASSERT_TRUE(m_service);
    auto client = ControlClient::connect(socketPath());
    ASSERT_TRUE(client);
    ASSERT_TRUE(setList(*client, {m_freeName})); // as many list changes as the first instance made
    EXPECT_EQ(running.finish(), kRefused);
}
