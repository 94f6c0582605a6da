// SPDX-License-Identifier: GPL-3.0-or-later
#include "filterd/control/ControlServer.h"

#include "wire/KextCommandFrame.h"
#include "tests/filterd/FilterdTestSupport.h"
#include "tests/support/TestEnvironment.h"

#include <QTemporaryDir>
#include <fstream>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace Filterd;
using FilterdTestSupport::ControlClient;
using FilterdTestSupport::taggedRecord;
using Quilvane::Wire::UniqueFd;
using namespace std::chrono_literals;

namespace {

class ControlServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        m_loop = EventLoop::create();
        ASSERT_TRUE(m_loop);
        m_options.directory = m_dir.filePath(QStringLiteral("control")).toStdString();
        m_options.socketName = "com.quilvaneapp.nke.filter";
        m_options.queueCapacity = 1000;
        m_options.polkitAction.clear(); // the group rule alone; PolkitAuthorisationTest asks polkit
    }

    std::unique_ptr<ControlServer> createServer(PeerPolicy policy = PeerPolicy(::geteuid(), std::nullopt)) {
        std::string error;
        auto server = ControlServer::create(
            *m_loop, m_options, policy,
            [this](const ControlServer::CommandSender&, const BlockListCommand& command, std::string& why) {
                m_lists.push_back(command.names());
                if (m_failNext) {
                    m_failNext = false;
                    why = "out of memory";
                    return false;
                }
                return true;
            },
            error);
        EXPECT_TRUE(server) << error;
        return server;
    }

    bool pumpUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 3000ms) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!condition()) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            m_loop->runOnce(10ms);
        }
        return true;
    }

    std::string socketPath() const { return m_options.directory + "/" + m_options.socketName; }

    QTemporaryDir m_dir;
    std::unique_ptr<EventLoop> m_loop;
    ControlServer::Options m_options;
    std::vector<std::vector<std::string>> m_lists;
    bool m_failNext = false;
};

} // namespace

TEST_F(ControlServerTest, CreatesGroupReadableSocketAndServesEveryClient) {
    auto server = createServer();
    struct stat dir {
    }, socket{};
    ASSERT_EQ(::stat(m_options.directory.c_str(), &dir), 0);
    ASSERT_EQ(::stat(socketPath().c_str(), &socket), 0);
    EXPECT_EQ(dir.st_mode & 07777, 0750u);
    EXPECT_TRUE(S_ISSOCK(socket.st_mode));
    EXPECT_EQ(socket.st_mode & 0777, 0660u);

    std::vector<ControlClient> clients;
    for (int i = 0; i < 3; ++i) {
        auto client = ControlClient::connect(socketPath());
        ASSERT_TRUE(client);
        clients.push_back(std::move(*client));
    }
    ASSERT_TRUE(pumpUntil([&] { return server->clientCount() == 3; }));
    server->broadcast(taggedRecord(7).data(), 24);
    server->flush();
    for (auto& client : clients) {
        const auto got = client.waitForRecord([](const auto& r) { return r[4] == 7; }, 1000ms);
        EXPECT_TRUE(got.has_value());
    }
}

TEST_F(ControlServerTest, AppliesCommandsAndRefusesMalformedOnesWithoutDroppingTheClient) {
    auto server = createServer();
    auto client = ControlClient::connect(socketPath());
    ASSERT_TRUE(client);
    ASSERT_TRUE(client->sendNames({"curl", "wget"}));
    ASSERT_TRUE(pumpUntil([&] { return m_lists.size() == 1; }));
    EXPECT_EQ(m_lists[0], (std::vector<std::string>{"curl", "wget"}));

    using namespace Quilvane::Wire;
    ASSERT_TRUE(client->sendRaw(frameCommand(7, 0, "a\0", 2)));
    ASSERT_TRUE(client->sendRaw(frameCommand(2, 9, "a\0", 2)));
    ASSERT_TRUE(client->sendRaw(frameCommand(2, 0, "abc", 3)));
    ASSERT_TRUE(client->sendRaw({1, 2, 3}));
    const std::string tooLong(300, 'x');
    ASSERT_TRUE(client->sendRaw(frameCommand(2, 0, (tooLong + '\0').data(), tooLong.size() + 1)));
    if (TestEnvironment::isRoot()) {
        const int big = 4 * 1024 * 1024;
        ASSERT_EQ(::setsockopt(client->fd(), SOL_SOCKET, SO_SNDBUFFORCE, &big, sizeof big), 0);
        std::vector<std::uint8_t> payload(kMaxCommandPayload + 1, 'a');
        payload.back() = 0;
        ASSERT_TRUE(client->sendRaw(frameCommand(2, 0, payload.data(), payload.size())));
    }
    ASSERT_TRUE(client->sendNames({}));
    ASSERT_TRUE(pumpUntil([&] { return m_lists.size() == 2; }));
    EXPECT_TRUE(m_lists[1].empty()) << "only the two valid commands reached the filter";
    EXPECT_EQ(server->clientCount(), 1u);

    m_failNext = true;
    ASSERT_TRUE(client->sendNames({"x"}));
    ASSERT_TRUE(pumpUntil([&] { return m_lists.size() == 3; }));
    EXPECT_EQ(server->clientCount(), 1u) << "a list the filter could not take does not cost the client";
}

TEST_F(ControlServerTest, ClientsThatLeaveOrStopReadingDoNotHoldUpTheOthers) {
    m_options.queueCapacity = 4000;
    auto server = createServer();
    auto leaving = ControlClient::connect(socketPath());
    auto stalled = ControlClient::connect(socketPath());
    auto reader = ControlClient::connect(socketPath());
    ASSERT_TRUE(leaving && stalled && reader);
    ASSERT_TRUE(pumpUntil([&] { return server->clientCount() == 3; }));

    server->broadcast(taggedRecord(1).data(), 24);
    server->flush();
    leaving.reset(); // gone with a record unread
    ASSERT_TRUE(pumpUntil([&] { return server->clientCount() == 2; }));

    // Far more than the stalled client's queue and socket hold; the reader keeps up.
    const auto isFlood = [](const Quilvane::Wire::RecordBuffer& r) {
        return r[4] == 2;
    };
    int received = 0;
    for (int round = 0; round < 50; ++round) {
        for (int i = 0; i < 1000; ++i) {
            server->broadcast(taggedRecord(2).data(), 24);
        }
        server->flush();
        for (;;) {
            m_loop->runOnce(0ms);
            if (!reader->waitForRecord(isFlood, 20ms)) {
                break;
            }
            ++received;
        }
    }
    EXPECT_EQ(received, 50000);
    EXPECT_GT(server->droppedRecords(), 0u) << "the stalled client lost records of its own";
    EXPECT_EQ(server->clientCount(), 2u);
}

TEST_F(ControlServerTest, ReplacesAStaleSocketButNotALiveOneOrAFile) {
    {
        auto first = createServer();
        std::string error;
        auto second = ControlServer::create(
            *m_loop, m_options, PeerPolicy(0, std::nullopt),
            [](const auto&, const auto&, std::string&) { return true; }, error);
        EXPECT_FALSE(second);
        EXPECT_NE(error.find("already listening"), std::string::npos) << error;
    }
    // A socket file left by a service that died: bound, never listened to.
    UniqueFd dead(::socket(AF_UNIX, SOCK_SEQPACKET, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath().c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(dead.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_TRUE(createServer());

    std::ofstream(socketPath()) << "not a socket";
    std::string error;
    EXPECT_FALSE(ControlServer::create(
        *m_loop, m_options, PeerPolicy(0, std::nullopt),
        [](const auto&, const auto&, std::string&) { return true; }, error));
    EXPECT_NE(error.find("not a socket"), std::string::npos) << error;
}

TEST_F(ControlServerTest, RefusesPeersOutsideTheGroupEvenWhenTheModeLetsThemIn) {
    if (!TestEnvironment::isRoot()) {
        GTEST_SKIP() << "needs root to run a client as another user";
    }
    auto server = createServer(PeerPolicy(0, std::nullopt));
    const auto connectAsNobody = [this]() {
        const pid_t child = ::fork();
        if (child == 0) {
            if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) {
                ::_exit(20);
            }
            auto client = ControlClient::connect(socketPath());
            if (!client) {
                ::_exit(errno == EACCES ? 30 : 21);
            }
            ::_exit(client->waitForClose(3000ms) ? 0 : 22);
        }
        int status = 0;
        pumpUntil([&] { return ::waitpid(child, &status, WNOHANG) == child; }, 5000ms);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    EXPECT_EQ(connectAsNobody(), 30) << "the file modes keep other users out";

    ::chmod(m_options.directory.c_str(), 0755);
    ::chmod(m_dir.path().toLocal8Bit().constData(), 0755);
    ::chmod(socketPath().c_str(), 0666);
    EXPECT_EQ(connectAsNobody(), 0) << "the credential check closes the connection";
    EXPECT_EQ(server->clientCount(), 0u);
}

TEST_F(ControlServerTest, IgnoresAnEmptyMessageAndKeepsTheClient) {
    auto server = createServer();
    auto client = ControlClient::connect(socketPath());
    ASSERT_TRUE(client);
    ASSERT_TRUE(pumpUntil([&] { return server->clientCount() == 1; }));
    ASSERT_EQ(::send(client->fd(), "", 0, MSG_NOSIGNAL), 0);
    ASSERT_TRUE(client->sendNames({"curl"}));
    ASSERT_TRUE(pumpUntil([&] { return m_lists.size() == 1; }));
    EXPECT_EQ(server->clientCount(), 1u);

    // An empty message right before a hang-up still ends with the client gone.
    ASSERT_EQ(::send(client->fd(), "", 0, MSG_NOSIGNAL), 0);
    client.reset();
    EXPECT_TRUE(pumpUntil([&] { return server->clientCount() == 0; }));
}

TEST_F(ControlServerTest, HoldsEachUserToItsShareOfClients) {
    m_options.limits = {4, 2};
    auto server = createServer();
    testing::internal::CaptureStderr();
    auto first = ControlClient::connect(socketPath());
    auto second = ControlClient::connect(socketPath());
    auto third = ControlClient::connect(socketPath());
    ASSERT_TRUE(first && second && third);
    EXPECT_TRUE(pumpUntil([&] { return third->waitForClose(10ms); })) << "over the share: closed";
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(server->clientCount(), 2u);
    EXPECT_NE(
        log.find("client limit reached: uid " + std::to_string(::geteuid()) + " already has 2 connections"),
        std::string::npos)
        << log;

    first.reset();
    ASSERT_TRUE(pumpUntil([&] { return server->clientCount() == 1; }));
    auto again = ControlClient::connect(socketPath());
    ASSERT_TRUE(again);
    ASSERT_TRUE(pumpUntil([&] { return server->clientCount() == 2; })) << "a place given back is free";
    EXPECT_FALSE(again->waitForClose(50ms));
}
