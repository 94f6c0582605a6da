// SPDX-License-Identifier: GPL-3.0-or-later
#include "wire/KextCommandFrame.h"
#include "tests/filterd/PrivilegedFilterdTest.h"

#include <arpa/inet.h>
#include <cstring>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>

using namespace FilterdTestSupport;
using namespace Quilvane::Wire;
using namespace std::chrono_literals;

namespace {

constexpr int kAllowed = 0;
constexpr int kRefused = 3; // the probe's exit status for EPERM

std::function<bool(const RecordBuffer&)> outgoing(pid_t pid, std::uint8_t family, std::uint16_t port) {
    return [=](const RecordBuffer& r) {
        return recordCommand(r) == 1 && recordPid(r) == pid && recordFamily(r) == family &&
               recordPort(r) == port;
    };
}

std::string recordHost(const RecordBuffer& record) {
    char host[64] = "";
    recordHostname(record, host, sizeof host,
                   [](const sockaddr* a, socklen_t l, char* h, socklen_t hl, char* s, socklen_t sl, int) {
                       return ::getnameinfo(a, l, h, hl, s, sl, NI_NUMERICHOST);
                   });
    return host;
}

} // namespace

class FilterdIntegrationTest : public PrivilegedFilterdTest {};

TEST_F(FilterdIntegrationTest, BlocksTheListedExecutableByItsFullNameAndReportsTheRest) {
    m_service = startService();
    ASSERT_TRUE(m_service) << "the service did not start";
    auto client = ControlClient::connect(socketPath());
    ASSERT_TRUE(client);
    ASSERT_TRUE(setList(*client, {m_blockedName}));

    auto tcp4 = listenOnLoopback(AF_INET, SOCK_STREAM);
    auto tcp6 = listenOnLoopback(AF_INET6, SOCK_STREAM);
    auto udp4 = listenOnLoopback(AF_INET, SOCK_DGRAM);
    auto udp6 = listenOnLoopback(AF_INET6, SOCK_DGRAM);
    ASSERT_TRUE(tcp4.fd && tcp6.fd && udp4.fd && udp6.fd);

    EXPECT_EQ(probe(m_blockedProbe, "connect4", tcp4.port), kRefused);
    EXPECT_EQ(probe(m_blockedProbe, "connect6", tcp6.port), kRefused);
    EXPECT_EQ(probe(m_blockedProbe, "udp4", udp4.port), kRefused);
    EXPECT_EQ(probe(m_blockedProbe, "udp6", udp6.port), kRefused);

    // The same program under another name.
    const auto free4 = runProbe(m_freeProbe, "connect4", tcp4.port);
    ASSERT_EQ(free4.exitCode, kAllowed);
    const auto record4 = client->waitForRecord(outgoing(free4.pid, kBsdAfInet, tcp4.port));
    ASSERT_TRUE(record4) << m_service->log();
    EXPECT_EQ(recordHost(*record4), "127.0.0.1");

    // The incoming side of the same connection, reported once the handshake completes, with the
    // process that bound the listening port (this one).
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    Quilvane::Wire::UniqueFd accepted(::accept(tcp4.fd.get(), reinterpret_cast<sockaddr*>(&peer), &length));
    ASSERT_TRUE(accepted);
    const auto incoming = client->waitForRecord([&](const RecordBuffer& r) {
        return recordCommand(r) == 0 && recordPid(r) == ::getpid() && recordPort(r) == ntohs(peer.sin_port);
    });
    ASSERT_TRUE(incoming) << "accepted connections are reported with the accepting pid";
    EXPECT_EQ(recordHost(*incoming), "127.0.0.1");

    const auto free6 = runProbe(m_freeProbe, "connect6", tcp6.port);
    ASSERT_EQ(free6.exitCode, kAllowed);
    const auto record6 = client->waitForRecord(outgoing(free6.pid, kBsdAfInet6, tcp6.port));
    ASSERT_TRUE(record6);
    EXPECT_EQ(recordHost(*record6), "::1");

    const auto freeUdp = runProbe(m_freeProbe, "udp4", udp4.port);
    ASSERT_EQ(freeUdp.exitCode, kAllowed);
    EXPECT_TRUE(client->waitForRecord(outgoing(freeUdp.pid, kBsdAfInet, udp4.port)));

    ASSERT_TRUE(setList(*client, {}));
    EXPECT_EQ(probe(m_blockedProbe, "connect4", tcp4.port), kAllowed);
    EXPECT_EQ(probe(m_blockedProbe, "udp6", udp6.port), kAllowed);
}

TEST_F(FilterdIntegrationTest, UdpFlowIsReportedOncePerPeer) {
    m_service = startService();
    ASSERT_TRUE(m_service);
    auto client = ControlClient::connect(socketPath());
    ASSERT_TRUE(client);
    auto udp = listenOnLoopback(AF_INET, SOCK_DGRAM);
    auto other = listenOnLoopback(AF_INET, SOCK_DGRAM);

    Quilvane::Wire::UniqueFd sender(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const auto sendTo = [&](std::uint16_t port) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(port);
        return ::sendto(sender.get(), "x", 1, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    };
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(sendTo(udp.port), 1);
    }
    ASSERT_EQ(sendTo(other.port), 1);
    int toFirst = 0;
    ASSERT_TRUE(client->waitForRecord([&](const RecordBuffer& r) {
        toFirst += recordPid(r) == ::getpid() && recordPort(r) == udp.port;
        return recordPid(r) == ::getpid() && recordPort(r) == other.port;
    }));
    client->waitForRecord(
        [&](const RecordBuffer& r) {
            toFirst += recordPid(r) == ::getpid() && recordPort(r) == udp.port;
            return false;
        },
        300ms);
    EXPECT_EQ(toFirst, 1) << "a hundred datagrams to one peer make one record";
}

TEST_F(FilterdIntegrationTest, BadCommandsAreRefusedAndTheListStays) {
    m_service = startService();
    ASSERT_TRUE(m_service);
    auto client = ControlClient::connect(socketPath());
    ASSERT_TRUE(client);
    ASSERT_TRUE(setList(*client, {m_blockedName}));
    auto tcp4 = listenOnLoopback(AF_INET, SOCK_STREAM);

    const int big = 4 * 1024 * 1024;
    ASSERT_EQ(::setsockopt(client->fd(), SOL_SOCKET, SO_SNDBUFFORCE, &big, sizeof big), 0);
    std::vector<std::uint8_t> huge(kMaxCommandPayload + 1, 'a');
    huge.back() = 0;
    const std::string longName(256, 'n');
    const std::vector<std::vector<std::uint8_t>> bad = {
        frameCommand(3, 0, "x\0", 2),                                      // wrong level
        frameCommand(2, 9, "x\0", 2),                                      // unknown option
        frameCommand(2, 0, "quilvane", 8),                                 // no final NUL
        frameCommand(2, 0, (longName + '\0').data(), longName.size() + 1), // longer than the key
        frameCommand(2, 0, huge.data(), huge.size()),                      // over 1 MiB
        {2, 0},                                                            // shorter than the header
    };
    for (const auto& message : bad) {
        ASSERT_TRUE(client->sendRaw(message));
    }
    ASSERT_TRUE(TestEnvironment::waitUntil(
        [&] {
            const std::string log = m_service->log();
            std::size_t refused = 0;
            for (auto at = log.find("refused a command"); at != std::string::npos;
                 at = log.find("refused a command", at + 1)) {
                ++refused;
            }
            return refused == bad.size();
        },
        5000ms))
        << m_service->log();
    EXPECT_EQ(probe(m_blockedProbe, "connect4", tcp4.port), kRefused) << "the list in force stays";
    EXPECT_EQ(::kill(m_service->pid(), 0), 0) << "the service survived";
    EXPECT_FALSE(client->waitForClose(100ms)) << "the client stays connected";
}

TEST_F(FilterdIntegrationTest, RefusesAPeerThatIsNeitherRootNorInTheGroup) {
    m_service = startService();
    ASSERT_TRUE(m_service);
    struct stat socket {};
    ASSERT_EQ(::stat(socketPath().c_str(), &socket), 0);
    EXPECT_EQ(socket.st_mode & 0777, 0666u) << "anyone may reach it: the credential check decides";

    ::chmod(m_dir.path().toLocal8Bit().constData(), 0755);
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) {
            ::_exit(20);
        }
        auto stranger = ControlClient::connect(socketPath());
        ::_exit(!stranger ? 21 : stranger->waitForClose(5000ms) ? 0 : 22);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "exit status " << status;
    EXPECT_NE(m_service->log().find("refused client pid"), std::string::npos) << m_service->log();
}
