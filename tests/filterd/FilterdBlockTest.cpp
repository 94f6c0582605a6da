// SPDX-License-Identifier: GPL-3.0-or-later
// A block takes the network away however the program is started or reached: scripts run through
// their interpreter or a link, long paths and long exec chains, connections already open, incoming
// traffic, and a crowd of another user's processes.
#include "tests/filterd/PrivilegedFilterdTest.h"

#include <arpa/inet.h>
#include <fstream>
#include <grp.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>

using namespace FilterdTestSupport;
using namespace Quilvane::Wire;
using namespace std::chrono_literals;

namespace {

constexpr int kAllowed = 0;
constexpr int kRefused = 3;
constexpr int kCut = 4;
constexpr int kCrowd = 17000;

// A Python script that connects to the port of its first argument: 3 when the kernel refuses.
constexpr const char* kPythonClient = R"(import socket, sys
try:
    socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=5).close()
except PermissionError:
    sys.exit(3)
except OSError:
    sys.exit(1)
)";

} // namespace

class FilterdBlockTest : public PrivilegedFilterdTest {
protected:
    void SetUp() override {
        PrivilegedFilterdTest::SetUp();
        if (IsSkipped()) {
            return;
        }
        m_tcp = listenOnLoopback(AF_INET, SOCK_STREAM);
        ASSERT_TRUE(m_tcp.fd);
        m_port = std::to_string(m_tcp.port);
        m_service = startService();
        ASSERT_TRUE(m_service);
        m_client = ControlClient::connect(socketPath());
        ASSERT_TRUE(m_client);
    }

    std::string write(const std::string& file, const std::string& text, mode_t mode = 0755) {
        std::ofstream(file) << text;
        ::chmod(file.c_str(), mode);
        return file;
    }

    // A shell script that becomes a (free) probe: the script's own process connects.
    std::string shellScript(const std::string& directory, const std::string& name) {
        const std::string probe = copyProbe(directory, name + ".run");
        return write(directory + "/" + name, "#!/bin/sh\nexec " + probe + " connect4 \"$1\"\n");
    }

    int run(const std::vector<std::string>& argv, const RunOptions& options = {}) {
        return runProgram(argv, options).exitCode;
    }

    bool linkTargetsKnown() { return m_service->log().find("no BPF LSM") == std::string::npos; }

    Listener m_tcp;
    std::string m_port;
    std::optional<ControlClient> m_client;
};

TEST_F(FilterdBlockTest, AScriptIsBlockedHoweverItsInterpreterIsStarted) {
    const std::string bin = path("bin");
    const std::string python = write(bin + "/client-" + m_blockedName + ".py", kPythonClient, 0644);
    const std::string shell = shellScript(bin, "client-" + m_blockedName + ".sh");
    ASSERT_TRUE(setList(*m_client, {"client-" + m_blockedName + ".py", "client-" + m_blockedName + ".sh"}));

    EXPECT_EQ(run({"/usr/bin/python3", python, m_port}), kRefused) << "python3 s.py";
    EXPECT_EQ(run({"/usr/bin/python3", "-u", python, m_port}), kRefused) << "python3 -u s.py";
    EXPECT_EQ(run({"/usr/bin/env", "python3", python, m_port}), kRefused) << "env python3 s.py";
    EXPECT_EQ(run({"/bin/sh", shell, m_port}), kRefused) << "sh s.sh";
    EXPECT_EQ(run({"/bin/bash", shell, m_port}), kRefused) << "bash s.sh";
    EXPECT_EQ(run({"/usr/bin/python3", "-c", "import sys; sys.exit(0)", python}), kAllowed)
        << "code given with -c names no script";
    const std::string other = write(bin + "/other.py", kPythonClient, 0644);
    EXPECT_EQ(run({"/usr/bin/python3", other, m_port}), kAllowed) << "the same interpreter, another script";
}

TEST_F(FilterdBlockTest, AScriptIsBlockedByTheNameALinkLeadsTo) {
    if (!linkTargetsKnown()) {
        GTEST_SKIP() << "this kernel runs no BPF LSM programs (lockdown, or bpf not in lsm=)";
    }
    const std::string bin = path("bin");
    const std::string script = shellScript(bin, "tool-" + m_blockedName + ".sh");
    const std::string link = bin + "/tool-link";
    ASSERT_EQ(::symlink(script.c_str(), link.c_str()), 0);
    ASSERT_TRUE(setList(*m_client, {"tool-" + m_blockedName + ".sh"}));
    EXPECT_EQ(run({link, m_port}), kRefused);
}

TEST_F(FilterdBlockTest, PathsOfAnyLengthAndLongExecChainsKeepTheNamesThatMatter) {
    // A script more than 1,100 bytes down a tree of folders.
    std::string folder = path("bin");
    while (folder.size() < 1100) {
        folder += "/" + std::string(200, 'd');
        ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0) << std::strerror(errno);
    }
    const std::string deep = shellScript(folder, "deep-" + m_blockedName);
    ASSERT_GT(deep.size(), 1100u);

    // Twenty launchers, each exec'ing the next in the same process, the last one the blocked probe.
    const std::string bin = path("bin");
    std::string next = m_blockedProbe;
    for (int hop = 20; hop >= 1; --hop) {
        next = write(bin + "/hop" + std::to_string(hop), "#!/bin/sh\nexec " + next + " \"$@\"\n");
    }
    ASSERT_TRUE(setList(*m_client, {"deep-" + m_blockedName, m_blockedName}));
    EXPECT_EQ(run({deep, m_port}), kRefused) << "a 1,100-byte path";
    EXPECT_EQ(run({next, "connect4", m_port}), kRefused) << "after 20 execs";
}

TEST_F(FilterdBlockTest, ABlockCutsConnectionsAlreadyOpen) {
    const Listener udp = listenOnLoopback(AF_INET, SOCK_DGRAM);
    ASSERT_TRUE(udp.fd);
    StartedProgram tcpHolder = startProgram({m_freeProbe, "holdtcp4", m_port});
    StartedProgram udpHolder = startProgram({m_freeProbe, "holdudp4", std::to_string(udp.port)});
    const int accepted = ::accept(m_tcp.fd.get(), nullptr, nullptr);
    ASSERT_GE(accepted, 0);
    const UniqueFd connection(accepted);
    char byte = 0;
    ASSERT_EQ(::recv(connection.get(), &byte, 1, 0), 1);
    ASSERT_EQ(::recv(udp.fd.get(), &byte, 1, 0), 1);

    ASSERT_TRUE(setList(*m_client, {m_freeName}));
    // An echo for whatever still arrives: only a connection that was not cut gets one.
    std::thread echo([&] {
        pollfd readable{connection.get(), POLLIN, 0};
        if (::poll(&readable, 1, 1500) == 1 && ::recv(connection.get(), &byte, 1, 0) == 1) {
            ::send(connection.get(), "c", 1, MSG_NOSIGNAL);
        }
    });
    EXPECT_EQ(tcpHolder.finish(), kCut) << "TCP";
    echo.join();
    udpHolder.finish();
    pollfd datagram{udp.fd.get(), POLLIN, 0};
    EXPECT_EQ(::poll(&datagram, 1, 500), 0) << "no datagram of the connected UDP socket arrives";
}

// The verdict a process got for its first connection is not the one it keeps: an exec changes its
// names, and a new list changes what they mean.
TEST_F(FilterdBlockTest, AProcessThatConnectedIsRefusedOnceItExecsAListedProgramOrIsListed) {
    ASSERT_TRUE(setList(*m_client, {m_blockedName}));
    EXPECT_EQ(run({m_freeProbe, "connectexec", m_port, m_blockedProbe, "connect4", m_port}), kRefused)
        << "after an exec of a listed program";
    const UniqueFd beforeExec(::accept(m_tcp.fd.get(), nullptr, nullptr));

    StartedProgram connected = startProgram({m_freeProbe, "againconnect4", m_port});
    const UniqueFd first(::accept(m_tcp.fd.get(), nullptr, nullptr));
    ASSERT_TRUE(first) << "the first connection is let through";
    ASSERT_TRUE(setList(*m_client, {m_blockedName, m_freeName}));
    EXPECT_EQ(connected.finish(), kRefused) << "after its name was listed";
}

TEST_F(FilterdBlockTest, AListedProgramCanNeitherListenNorReceive) {
    ASSERT_TRUE(setList(*m_client, {m_blockedName}));
    const std::string port = std::to_string(listenOnLoopback(AF_INET, SOCK_STREAM).port); // now free
    EXPECT_EQ(run({m_blockedProbe, "listen4", port}), kRefused) << "no listening socket";
    EXPECT_EQ(run({m_blockedProbe, "bindudp4", port}), kRefused) << "no port to receive datagrams on";
    EXPECT_TRUE(m_client->waitForRecord([](const RecordBuffer& r) { return recordCommand(r) == 2; }))
        << "the refusal is reported";
}

// Who accepted a connection is known by the listening socket, never by the port number alone.
TEST_F(FilterdBlockTest, AnIncomingRecordGoesToTheListenersOwnerOnly) {
    const std::string pid = std::to_string(::getpid());
    auto owner = TemporaryUser::create("qvo" + pid);
    auto squatter = TemporaryUser::create("qvs" + pid);
    ASSERT_TRUE(owner && squatter);
    ::chmod(m_dir.path().toLocal8Bit().constData(), 0755);
    ::chmod(path("bin").c_str(), 0755);
    auto ownersClient = ControlClient::connectAs(socketPath(), owner->uid(), owner->gid(), {0});
    auto squattersClient = ControlClient::connectAs(socketPath(), squatter->uid(), squatter->gid(), {0});
    ASSERT_TRUE(ownersClient && squattersClient);

    const std::string port = std::to_string(listenOnLoopback(AF_INET, SOCK_STREAM).port);
    RunOptions asOwner{owner->uid(), owner->gid(), {}, {}};
    RunOptions asSquatter{squatter->uid(), squatter->gid(), {}, {}};
    StartedProgram server = startProgram({m_freeProbe, "listen4", port}, asOwner);
    StartedProgram squat = startProgram({m_freeProbe, "bind6", port}, asSquatter);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(run({m_freeProbe, "connect4", port}), kAllowed);
    EXPECT_TRUE(ownersClient->waitForRecord([&](const RecordBuffer& r) {
        return recordCommand(r) == 0 && recordPid(r) == server.pid;
    })) << "the server's owner hears of the connection it accepted";
    EXPECT_FALSE(
        squattersClient->waitForRecord([](const RecordBuffer& r) { return recordCommand(r) == 0; }, 500ms))
        << "a user who bound the same port elsewhere does not";
    server.finish();
    squat.finish();
}

// Another user cannot make a blocked script anonymous by holding many processes.
TEST_F(FilterdBlockTest, ACrowdOfAnotherUsersProcessesLeavesABlockedScriptBlocked) {
    const std::string pid = std::to_string(::getpid());
    auto crowdUser = TemporaryUser::create("qvk" + pid);
    ASSERT_TRUE(crowdUser);
    const std::string bin = path("bin");
    ::chmod(m_dir.path().toLocal8Bit().constData(), 0755);
    ::chmod(bin.c_str(), 0755);
    const std::string python = write(bin + "/crowded-" + m_blockedName + ".py", kPythonClient, 0644);
    ASSERT_TRUE(setList(*m_client, {"crowded-" + m_blockedName + ".py"}));

    // More processes than the process table of earlier versions held (16,384), made by a small
    // program (forking this test's large image is slow under emulation). They die with it, and it
    // with this test, so a test that is killed leaves no crowd behind.
    // The user's process limit comes from the machine's task limit and may be below the crowd: as
    // much as the hard limit allows.
    rlimit processes{};
    ASSERT_EQ(::getrlimit(RLIMIT_NPROC, &processes), 0);
    processes.rlim_cur = processes.rlim_max;
    ASSERT_EQ(::setrlimit(RLIMIT_NPROC, &processes), 0);
    const std::string folder = path("crowd");
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    ASSERT_EQ(::chown(folder.c_str(), crowdUser->uid(), crowdUser->gid()), 0);
    const std::string report = folder + "/count";
    StartedProgram crowd = startProgram({m_freeProbe, "crowd", std::to_string(kCrowd), report},
                                        {crowdUser->uid(), crowdUser->gid(), {}, {}});
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return std::filesystem::exists(report); }, 240000ms));
    int made = 0;
    std::ifstream(report) >> made;
    EXPECT_EQ(run({"/usr/bin/python3", python, m_port}), kRefused)
        << "with " << made << " processes of another user";
    ::kill(crowd.pid, SIGTERM);
    ::waitpid(crowd.pid, nullptr, 0);
    EXPECT_EQ(made, kCrowd);
}
