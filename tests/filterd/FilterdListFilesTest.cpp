// SPDX-License-Identifier: GPL-3.0-or-later
// The administrator's list files (--lists-dir) against the real eBPF service: enforced for every
// process within two seconds of a change, together with an administrator's client list, and
// refused when anyone but root could have written them.
#include "tests/filterd/PrivilegedFilterdTest.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sys/stat.h>
#include <thread>

using namespace FilterdTestSupport;
using namespace std::chrono_literals;

namespace {

constexpr int kAllowed = 0;
constexpr int kRefused = 3;

} // namespace

class FilterdListFilesTest : public PrivilegedFilterdTest {
protected:
    void SetUp() override {
        PrivilegedFilterdTest::SetUp();
        if (IsSkipped()) {
            return;
        }
        m_lists = path("lists.d");
        ASSERT_EQ(::mkdir(m_lists.c_str(), 0755), 0);
        m_tcp = listenOnLoopback(AF_INET, SOCK_STREAM);
        ASSERT_TRUE(m_tcp.fd);
    }

    std::unique_ptr<ServiceProcess> startWithLists() {
        return ServiceProcess::start({"--control-dir", controlDir(), "--group", "root", "--pin-dir", m_pinDir,
                                      "--cgroup", m_cgroup, "--lists-dir", m_lists},
                                     path("filterd.log"));
    }

    // As configuration tools do: a hidden temporary file renamed into place.
    void writeList(const std::string& name, const std::string& text, mode_t mode = 0644) {
        const std::string temporary = m_lists + "/." + name + ".tmp";
        std::ofstream(temporary) << text;
        ASSERT_EQ(::chmod(temporary.c_str(), mode), 0);
        ASSERT_EQ(::rename(temporary.c_str(), (m_lists + "/" + name).c_str()), 0);
    }

    int connect(const std::string& program) { return probe(program, "connect4", m_tcp.port); }

    // Probes until the answer is `expected`; returns how long that took, or nothing past `limit`.
    std::optional<std::chrono::milliseconds> timeUntil(const std::string& program, int expected,
                                                       std::chrono::milliseconds limit = 2000ms) {
        const auto start = std::chrono::steady_clock::now();
        while (std::chrono::steady_clock::now() - start <= limit) {
            if (connect(program) == expected) {
                return std::chrono::duration_cast<std::chrono::milliseconds>(
                    std::chrono::steady_clock::now() - start);
            }
            std::this_thread::sleep_for(20ms);
        }
        return std::nullopt;
    }

    std::string m_lists;
    Listener m_tcp;
};

TEST_F(FilterdListFilesTest, AFileIsEnforcedWithinTwoSecondsAndLiftedWhenRemoved) {
    // A file present at start-up is in force before the socket opens.
    writeList("start.list", "# present at start\n" + m_freeName + "\n");
    m_service = startWithLists();
    ASSERT_TRUE(m_service);
    const std::string log = m_service->log();
    ASSERT_NE(log.find("is in force (1 names)"), std::string::npos) << log;
    EXPECT_LT(log.find("is in force (1 names)"), log.find("listening on")) << log;
    EXPECT_EQ(connect(m_freeProbe), kRefused);

    EXPECT_EQ(connect(m_blockedProbe), kAllowed);
    // A path counts by its file name; comments, blank lines and spaces around a line are nothing.
    writeList("team.list", "# blocked for the lab\n\n   " + m_blockedProbe + "  \n");
    const auto blockedAfter = timeUntil(m_blockedProbe, kRefused);
    ASSERT_TRUE(blockedAfter) << m_service->log();
    std::printf("blocked %lld ms after the file was written\n",
                static_cast<long long>(blockedAfter->count()));

    ASSERT_EQ(::unlink((m_lists + "/team.list").c_str()), 0);
    EXPECT_TRUE(timeUntil(m_blockedProbe, kAllowed)) << m_service->log();
    EXPECT_EQ(connect(m_freeProbe), kRefused) << "the other file stays in force";
}

TEST_F(FilterdListFilesTest, FilesAndTheAdministratorsClientListAreEnforcedTogether) {
    writeList("lab.list", m_blockedName + "\n");
    m_service = startWithLists();
    ASSERT_TRUE(m_service);
    auto root = ControlClient::connect(socketPath());
    ASSERT_TRUE(root);

    ASSERT_TRUE(setList(*root, {m_freeName}));
    EXPECT_EQ(connect(m_blockedProbe), kRefused) << "the client's list does not replace the files'";
    EXPECT_EQ(connect(m_freeProbe), kRefused);

    ASSERT_TRUE(setList(*root, {}));
    EXPECT_EQ(connect(m_blockedProbe), kRefused) << "an empty client list leaves the files in force";
    EXPECT_EQ(connect(m_freeProbe), kAllowed);

    ASSERT_TRUE(setList(*root, {m_freeName}));
    ASSERT_EQ(::unlink((m_lists + "/lab.list").c_str()), 0);
    EXPECT_TRUE(timeUntil(m_blockedProbe, kAllowed)) << m_service->log();
    EXPECT_EQ(connect(m_freeProbe), kRefused) << "removing the files leaves the client's list in force";
}

TEST_F(FilterdListFilesTest, UnsafeOrInvalidFilesLeaveTheListInForce) {
    m_service = startWithLists();
    ASSERT_TRUE(m_service);

    // Anyone could have written it: refused, and named in the log.
    writeList("open.list", m_blockedName + "\n", 0666);
    ASSERT_TRUE(TestEnvironment::waitUntil(
        [&] {
            return m_service->log().find("open.list:0: is writable by group or others") != std::string::npos;
        },
        2000ms))
        << m_service->log();
    EXPECT_EQ(connect(m_blockedProbe), kAllowed);
    ASSERT_EQ(::unlink((m_lists + "/open.list").c_str()), 0);

    writeList("good.list", m_blockedName + "\n");
    ASSERT_TRUE(timeUntil(m_blockedProbe, kRefused)) << m_service->log();

    // A bad line anywhere keeps what is in force, and the log says which line of which file.
    writeList("good.list", m_blockedName + "\n" + m_freeName + "\n/usr/bin/\n");
    ASSERT_TRUE(TestEnvironment::waitUntil(
        [&] {
            return m_service->log().find("good.list:3: ends in a slash: no program name") !=
                   std::string::npos;
        },
        2000ms))
        << m_service->log();
    EXPECT_EQ(connect(m_blockedProbe), kRefused);
    EXPECT_EQ(connect(m_freeProbe), kAllowed);

    // So does a file that cannot be read (root reads any mode, so a folder named *.list stands in
    // for it); a change to a good file meanwhile changes nothing either.
    writeList("good.list", m_blockedName + "\n");
    ASSERT_EQ(::mkdir((m_lists + "/broken.list").c_str(), 0755), 0);
    ASSERT_TRUE(TestEnvironment::waitUntil(
        [&] { return m_service->log().find("broken.list:0: is not a regular file") != std::string::npos; },
        2000ms))
        << m_service->log();
    writeList("good.list", m_freeName + "\n");
    std::this_thread::sleep_for(1000ms);
    EXPECT_EQ(connect(m_blockedProbe), kRefused);
    EXPECT_EQ(connect(m_freeProbe), kAllowed);
}
