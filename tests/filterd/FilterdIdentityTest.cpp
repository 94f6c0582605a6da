// SPDX-License-Identifier: GPL-3.0-or-later
// A process is blocked by any program it has run since it was forked: scripts and their
// interpreters, launchers and what they start, a parent's names in a child that does not exec.
#include "wire/RecordExtension.h"
#include "tests/filterd/PrivilegedFilterdTest.h"

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>

using namespace FilterdTestSupport;
using namespace Quilvane::Wire;
using Quilvane::Wire::UniqueFd;
using namespace std::chrono_literals;

namespace {

constexpr int kAllowed = 0;
constexpr int kRefused = 3;

// A script that connects from its own process, whatever its interpreter.
const char* const kShellScript = "#!/bin/sh\nexec \"$0.probe\" connect4 \"$1\"\n";
const char* const kPythonScript = "#!/usr/bin/env python3\n"
                                  "import socket, sys\n"
                                  "sys.stdin.readline()\n"
                                  "try:\n"
                                  "    socket.create_connection(('127.0.0.1', int(sys.argv[1])))\n"
                                  "except PermissionError:\n"
                                  "    sys.exit(3)\n";
// env looks python3 up here, not in a per-user installation another user cannot read.
const std::vector<std::string> kPlainPath = {"PATH=/usr/bin:/bin"};

} // namespace

class FilterdIdentityTest : public PrivilegedFilterdTest {
protected:
    void SetUp() override {
        PrivilegedFilterdTest::SetUp();
        if (IsSkipped()) {
            return;
        }
        m_tcp = listenOnLoopback(AF_INET, SOCK_STREAM);
        ASSERT_TRUE(m_tcp.fd);
        m_port = std::to_string(m_tcp.port);
    }

    void startAndConnect() {
        m_service = startService();
        ASSERT_TRUE(m_service) << "the service did not start";
        m_client = ControlClient::connect(socketPath());
        ASSERT_TRUE(m_client);
    }

    std::string script(const std::string& name, const char* text) {
        const std::string file = path("bin") + "/" + name;
        std::ofstream(file) << text;
        ::chmod(file.c_str(), 0755);
        // The shell script execs the probe beside it: the script's process connects itself.
        FilterdTestSupport::copyProbe(path("bin"), name + ".probe");
        return file;
    }

    int run(const std::vector<std::string>& argv, const RunOptions& options = {}) {
        return runProgram(argv, options).exitCode;
    }

    Listener m_tcp;
    std::string m_port;
    std::optional<ControlClient> m_client;
};

TEST_F(FilterdIdentityTest, ScriptsAreBlockedByTheirOwnNameNotTheirInterpreters) {
    ASSERT_NO_FATAL_FAILURE(startAndConnect());
    const std::string pid = std::to_string(::getpid());
    const std::string shell = script("qv-blocked-" + pid + ".sh", kShellScript);
    const std::string freeShell = script("qv-free-" + pid + ".sh", kShellScript);
    const std::string python = script("qv-blocked-" + pid + ".py", kPythonScript);
    const std::string freePython = script("qv-free-" + pid + ".py", kPythonScript);
    ASSERT_TRUE(setList(*m_client, {"qv-blocked-" + pid + ".sh", "qv-blocked-" + pid + ".py"}));

    EXPECT_EQ(run({shell, m_port}), kRefused) << "#!/bin/sh script";
    EXPECT_EQ(run({freeShell, m_port}), kAllowed) << "the same script under another name";
    RunOptions plain;
    plain.environment = kPlainPath;
    EXPECT_EQ(run({python, m_port}, plain), kRefused) << "#!/usr/bin/env python3 script";
    const auto free = runProgram({freePython, m_port}, plain);
    EXPECT_EQ(free.exitCode, kAllowed);

    const auto record = m_client->waitForRecord(
        [&](const RecordBuffer& r) { return recordCommand(r) == 1 && recordPid(r) == free.pid; });
    ASSERT_TRUE(record);
    // The message length is not kept by waitForRecord: find it from the extension's own lengths.
    std::size_t length = kRecordExtensionOffset + kRecordExtensionHeaderSize;
    length += (*record)[44] | ((*record)[45] << 8);
    length += (*record)[46] | ((*record)[47] << 8);
    const auto identity = recordExtension(*record, length);
    ASSERT_TRUE(identity);
    EXPECT_EQ(identity->script, freePython) << "the record names the script by its full path";
    EXPECT_EQ(identity->uid, 0u);
}

TEST_F(FilterdIdentityTest, LaunchersAreSeenThroughToWhatTheyRun) {
    ASSERT_NO_FATAL_FAILURE(startAndConnect());
    const std::string pid = std::to_string(::getpid());
    const std::string bin = path("bin");
    const std::string snap = copyProbe(bin, "snap-" + pid);
    const std::string snapExec = copyProbe(bin, "snap-exec-" + pid);
    const std::string app = copyProbe(bin, "qv-snap-app-" + pid);
    const std::string freeApp = copyProbe(bin, "qv-snap-free-" + pid);
    ASSERT_TRUE(setList(*m_client, {m_blockedName, "qv-snap-app-" + pid}));

    EXPECT_EQ(run({"/usr/bin/env", "FOO=1", m_blockedProbe, "connect4", m_port}), kRefused)
        << "env FOO=1 prog is blocked by prog";
    EXPECT_EQ(run({"/usr/bin/env", "FOO=1", m_freeProbe, "connect4", m_port}), kAllowed)
        << "and env itself blocks nothing";
    EXPECT_EQ(run({snap, "exec", snapExec, "exec", app, "connect4", m_port}), kRefused)
        << "a snap-like chain of execs in one process is blocked by the application's name";
    EXPECT_EQ(run({snap, "exec", snapExec, "exec", freeApp, "connect4", m_port}), kAllowed);
}

TEST_F(FilterdIdentityTest, AForkedChildKeepsItsParentsNamesUntilItExecs) {
    ASSERT_NO_FATAL_FAILURE(startAndConnect());
    ASSERT_TRUE(setList(*m_client, {m_blockedName}));
    EXPECT_EQ(run({m_blockedProbe, "forkconnect4", m_port}), kRefused);
    EXPECT_EQ(run({m_freeProbe, "forkconnect4", m_port}), kAllowed);
    // A blocked program that starts another program: the child is that program, not its parent.
    EXPECT_EQ(run({m_blockedProbe, "exec", m_freeProbe, "connect4", m_port}), kRefused)
        << "an exec without fork keeps the names";
}

TEST_F(FilterdIdentityTest, ProcessesStartedBeforeTheServiceAreKnownFromProc) {
    const std::string pid = std::to_string(::getpid());
    const std::string python = script("qv-early-" + pid + ".py", kPythonScript);
    RunOptions plain;
    plain.environment = kPlainPath;
    StartedProgram early = startProgram({python, m_port}, plain);
    StartedProgram earlyFree = startProgram({m_freeProbe, "waitconnect4", m_port});
    StartedProgram earlyProbe = startProgram({m_blockedProbe, "waitconnect4", m_port});
    // A command line naming a FIFO must not hold up the start of the service that reads it.
    const std::string fifo = path("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    StartedProgram reader = startProgram({"/bin/cat", fifo});
    std::this_thread::sleep_for(300ms); // python is running the script before the service starts

    ASSERT_NO_FATAL_FAILURE(startAndConnect());
    UniqueFd writer(::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
    writer.reset();
    reader.finish();
    ASSERT_TRUE(setList(*m_client, {"qv-early-" + pid + ".py", m_blockedName}));
    EXPECT_EQ(early.finish(), kRefused) << "the script named on the interpreter's command line";
    EXPECT_EQ(earlyProbe.finish(), kRefused);
    EXPECT_EQ(earlyFree.finish(), kAllowed);
}

TEST_F(FilterdIdentityTest, AnotherUsersProgramIsBlockedByTheFullNameInItsRecord) {
    const std::string pid = std::to_string(::getpid());
    auto user = TemporaryUser::create("qvid" + pid);
    ASSERT_TRUE(user) << "useradd failed";
    ::chmod(m_dir.path().toLocal8Bit().constData(), 0755);
    std::string name = "quilvane-thirty-chars-" + pid;
    name.resize(30, 'x');
    const std::string program = copyProbe(path("bin"), name);
    ::chmod(path("bin").c_str(), 0755);
    ASSERT_NO_FATAL_FAILURE(startAndConnect());

    RunOptions asUser;
    asUser.uid = user->uid();
    asUser.gid = user->gid();
    const auto first = runProgram({program, "connect4", m_port}, asUser);
    ASSERT_EQ(first.exitCode, kAllowed);
    const auto record = m_client->waitForRecord(
        [&](const RecordBuffer& r) { return recordCommand(r) == 1 && recordPid(r) == first.pid; });
    ASSERT_TRUE(record) << "root's client sees every user's records";
    const std::size_t length = kRecordExtensionOffset + kRecordExtensionHeaderSize + program.size();
    const auto identity = recordExtension(*record, length);
    ASSERT_TRUE(identity);
    EXPECT_EQ(identity->uid, user->uid());
    EXPECT_EQ(identity->executable, program) << "the full path, not the 15 bytes of comm";

    const std::string blocked = std::filesystem::path(identity->executable).filename().string();
    ASSERT_TRUE(setList(*m_client, {blocked}));
    EXPECT_EQ(run({program, "connect4", m_port}, asUser), kRefused);
    EXPECT_EQ(run({m_freeProbe, "connect4", m_port}, asUser), kAllowed);
}

// A program's path goes into the service's log; a newline in it must not start a line of its own.
TEST_F(FilterdIdentityTest, AProgramsPathCannotForgeALogLine) {
    const std::string name = m_blockedName + "\nquilvane-filterd: forged";
    const std::string program = FilterdTestSupport::copyProbe(path("bin"), name);
    ASSERT_NO_FATAL_FAILURE(startAndConnect());
    ASSERT_TRUE(setList(*m_client, {name}));
    EXPECT_EQ(run({program, "connect4", m_port}), kRefused);
    EXPECT_TRUE(TestEnvironment::waitUntil(
        [&] { return m_service->log().find("\\x0aquilvane-filterd: forged") != std::string::npos; }, 5000ms))
        << m_service->log();
    EXPECT_EQ(m_service->log().find("\nquilvane-filterd: forged"), std::string::npos);
}
