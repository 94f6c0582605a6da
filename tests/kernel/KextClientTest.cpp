// SPDX-License-Identifier: GPL-3.0-or-later
#include "kernel/KextClient.h"

#include "kernel/HostNameCache.h"
#include "model/Blacklist.h"
#include "model/Notices.h"
#include "model/RefusedAttempts.h"
#include "platform/UserDefaults.h"
#include "tests/support/FakeKextFilter.h"
#include "tests/support/TestEnvironment.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QTemporaryDir>
#include <QThread>
#include <arpa/inet.h>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

namespace {

int numericResolver(const sockaddr* address, socklen_t length, char* host, socklen_t hostLength,
                    char* service, socklen_t serviceLength, int flags) {
    return ::getnameinfo(address, length, host, hostLength, service, serviceLength, flags | NI_NUMERICHOST);
}

// Look-ups of 10.0.0.0/8 wait until the test opens the gate, as a slow name server would; the rest
// answer at once with the numeric form.
struct SlowNameServer {
    std::mutex mutex;
    std::condition_variable opened;
    bool open = false;
    int waiting = 0;

    void close() {
        std::lock_guard lock(mutex);
        open = false;
    }
    // Opens the gate; returns how many look-ups were waiting at it.
    int openGate() {
        int waited;
        {
            std::lock_guard lock(mutex);
            waited = waiting;
            open = true;
        }
        opened.notify_all();
        return waited;
    }
};
SlowNameServer slowServer;

int slowForTenNet(const sockaddr* address, socklen_t length, char* host, socklen_t hostLength, char* service,
                  socklen_t serviceLength, int flags) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(address);
    if (address->sa_family == AF_INET && (ntohl(in->sin_addr.s_addr) >> 24) == 10) {
        std::unique_lock lock(slowServer.mutex);
        ++slowServer.waiting;
        slowServer.opened.wait(lock, [] { return slowServer.open; });
        --slowServer.waiting;
    }
    return numericResolver(address, length, host, hostLength, service, serviceLength, flags);
}

// Every address has a reverse name.
int ptrResolver(const sockaddr*, socklen_t, char* host, socklen_t hostLength, char*, socklen_t, int) {
    std::snprintf(host, hostLength, "ptr.example.net");
    return 0;
}

// A pid above the system's limit: no process, so no App.
std::int32_t pidWithoutProcess() {
    return 4194304 + 1000;
}

class RecordingSubscriber final : public TrafficSubscriber {
public:
    struct Call {
        ConnectionPtr connection;
        AppPtr app;
        bool onMainThread = false;
        int sequence = 0;
    };

    explicit RecordingSubscriber(std::shared_ptr<int> sequence = std::make_shared<int>(0))
        : m_sequence(std::move(sequence)) {}

    void connectionMade(const ConnectionPtr& connection, const AppPtr& app) override {
        m_calls.push_back({connection, app,
                           QThread::currentThread() == QCoreApplication::instance()->thread(),
                           ++*m_sequence});
    }

    const std::vector<Call>& calls() const { return m_calls; }
    QStringList ports() const {
        QStringList ports;
        for (const auto& call : m_calls) {
            ports << call.connection->port();
        }
        ports.sort();
        return ports;
    }

private:
    std::shared_ptr<int> m_sequence;
    std::vector<Call> m_calls;
};

bool writeScript(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        return false;
    }
    file.write("#!/bin/sh\nexit 0\n");
    file.close();
    return file.setPermissions(file.permissions() | QFileDevice::ExeOwner);
}

Bytes asBytes(const char* text, std::size_t length) {
    return Bytes(text, text + length);
}

class KextClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        Notices::shared().clearAll();
        RefusedAttempts::shared().clearAll();
        UserDefaults::standard().registerDefaults({{QStringLiteral("enableFirewall"), true}});
        UserDefaults::standard().setBool(true, QStringLiteral("enableFirewall"));
        UserDefaults::standard().setValue(QStringList(), m_blacklistKey);
    }

    std::unique_ptr<KextClient> connectedClient() {
        auto client = std::make_unique<KextClient>();
        EXPECT_NE(client->socket(), 0);
        EXPECT_TRUE(m_filter.waitForClients(1));
        // Let in, as the service says with its hello: a loss from now on is a stop, not a refusal.
        EXPECT_TRUE(TestEnvironment::waitUntil([&] { return client->admittedByService(); }));
        client->setNameResolverForTesting(&numericResolver);
        return client;
    }

    // A client whose look-ups of 10.0.0.0/8 wait at the slow server's closed gate.
    std::unique_ptr<KextClient> clientOfSlowServer() {
        auto client = connectedClient();
        client->setNameResolverForTesting(&slowForTenNet);
        slowServer.close();
        return client;
    }

    Bytes lastPayload() {
        EXPECT_TRUE(m_filter.waitForCommands(1));
        const auto commands = m_filter.commands();
        if (commands.empty()) {
            return {};
        }
        EXPECT_EQ(commands.back().level, 2);
        EXPECT_EQ(commands.back().option, 0);
        return commands.back().payload;
    }

    const QString m_blacklistKey = QStringLiteral("blacklist-under-test");
    FakeKextFilter m_filter;
};

} // namespace

TEST_F(KextClientTest, SendsSafariWithItsCompanionsInOrder) {
    auto client = connectedClient();
    Blacklist blacklist(m_blacklistKey);
    blacklist.block(App::initWithName(QStringLiteral("Safari"), QStringLiteral("Safari"),
                                      QStringLiteral("/Applications/Safari.app")));
    client->updateBlacklist(&blacklist);
    const char expected[] = "Safari\0com.apple.Safari.SearchHelper\0com.apple.WebKit.Networking\0"
                            "com.apple.WebKit.WebContent";
    EXPECT_EQ(lastPayload(), asBytes(expected, sizeof expected));

    // A bare entry of the same executable sends the same names once.
    blacklist.block(App::initWithIdentifier(QStringLiteral("Safari")));
    ASSERT_EQ(blacklist.apps().size(), 2);
    client->updateBlacklist(&blacklist);
    ASSERT_TRUE(m_filter.waitForCommands(2));
    EXPECT_EQ(m_filter.commands()[1].payload, asBytes(expected, sizeof expected));

    // Lower case gets no companions.
    blacklist.block(App::initWithIdentifier(QStringLiteral("safari")));
    client->updateBlacklist(&blacklist);
    ASSERT_TRUE(m_filter.waitForCommands(3));
    const char withLower[] = "Safari\0com.apple.Safari.SearchHelper\0com.apple.WebKit.Networking\0"
                             "com.apple.WebKit.WebContent\0safari";
    EXPECT_EQ(m_filter.commands()[2].payload, asBytes(withLower, sizeof withLower));
}

TEST_F(KextClientTest, SendsTheEmptyCommandWhenOffOrEmpty) {
    auto client = connectedClient();
    Blacklist blacklist(m_blacklistKey);
    client->updateBlacklist(&blacklist); // empty list: no lone 0x00
    client->updateBlacklist(nullptr);
    blacklist.block(App::initWithIdentifier(QStringLiteral("curl")));
    UserDefaults::standard().setBool(false, QStringLiteral("enableFirewall"));
    client->updateBlacklist(&blacklist); // off, even with entries
    UserDefaults::standard().setBool(true, QStringLiteral("enableFirewall"));
    client->updateBlacklist(&blacklist); // read afresh: on again
    ASSERT_TRUE(m_filter.waitForCommands(4));
    const auto commands = m_filter.commands();
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(commands[i].level, 2) << i;
        EXPECT_EQ(commands[i].option, 0) << i;
        EXPECT_TRUE(commands[i].payload.empty()) << i;
    }
    EXPECT_EQ(commands[3].payload, (Bytes{'c', 'u', 'r', 'l', 0}));
}

TEST_F(KextClientTest, AnEmptyNameIsOneTerminatorAndUnsendableNamesAreLeftOutAndNamed) {
    auto client = connectedClient();
    Blacklist blacklist(m_blacklistKey);
    blacklist.block(App::initWithName(QString(), QString(), std::nullopt));
    client->updateBlacklist(&blacklist);
    EXPECT_EQ(lastPayload(), Bytes{0});
    EXPECT_FALSE(Notices::shared().contains(QStringLiteral("blocklist-unenforceable")));

    // A lone surrogate has no UTF-8 form, a NUL would split the name in two, and no file name is
    // longer than 255 bytes: the service could enforce none of them, but the rest stays blocked.
    Blacklist broken(m_blacklistKey + QStringLiteral("-broken"));
    broken.block(App::initWithIdentifier(QStringLiteral("ok")));
    broken.block(App::initWithIdentifier(QString(QChar(0xD800))));
    broken.block(App::initWithIdentifier(QStringLiteral("a") + QChar(0) + QStringLiteral("b")));
    // "%1" in a name stays as written in the notice, not taken for a placeholder.
    const QString overlong = QStringLiteral("%1") + QString(256, QLatin1Char('x'));
    broken.block(App::initWithIdentifier(overlong));
    client->updateBlacklist(&broken);
    ASSERT_TRUE(m_filter.waitForCommands(2));
    EXPECT_EQ(m_filter.commands()[1].payload, (Bytes{'o', 'k', 0}));
    const QString notice = Notices::shared().text(QStringLiteral("blocklist-unenforceable"));
    EXPECT_TRUE(notice.contains(QStringLiteral("“a\\0b”"))) << notice.toStdString();
    EXPECT_TRUE(notice.contains(QStringLiteral("“\uFFFD”"))) << notice.toStdString();
    EXPECT_TRUE(notice.contains(QStringLiteral("“") + overlong + QStringLiteral("”")))
        << notice.toStdString();
    EXPECT_TRUE(notice.contains(QStringLiteral("more than 255 bytes"))) << notice.toStdString();
    EXPECT_FALSE(notice.contains(QStringLiteral("“ok”")));

    client->updateBlacklist(&blacklist);
    ASSERT_TRUE(m_filter.waitForCommands(3));
    EXPECT_FALSE(Notices::shared().contains(QStringLiteral("blocklist-unenforceable")));
}

// The service refuses a list of more than 65,536 names and keeps its own; the window must not show
// blocks that are not in force.
TEST_F(KextClientTest, AListTheServiceWouldRefuseIsNotSentAndTheWindowSaysSo) {
    auto client = connectedClient();
    QStringList names;
    for (int i = 0; i < 65'536; ++i) {
        names.append(QStringLiteral("n%1").arg(i, 5, 10, QLatin1Char('0')));
    }
    UserDefaults::standard().setValue(QVariant(names), m_blacklistKey);
    Blacklist full(m_blacklistKey);
    client->updateBlacklist(&full);
    ASSERT_TRUE(m_filter.waitForCommands(1)) << "the most the service takes is sent";
    EXPECT_EQ(m_filter.commands()[0].payload.size(), 65'536u * 7);
    EXPECT_FALSE(Notices::shared().contains(QStringLiteral("blocklist-too-long")));

    full.block(App::initWithIdentifier(QStringLiteral("one-more")));
    client->updateBlacklist(&full);
    TestEnvironment::spin(200ms);
    EXPECT_EQ(m_filter.commands().size(), 1u) << "a list the service would refuse is not sent";
    const QString notice = Notices::shared().text(QStringLiteral("blocklist-too-long"));
    EXPECT_TRUE(notice.startsWith(QStringLiteral("The block list is too long"))) << notice.toStdString();

    full.unblock(full.apps().constLast());
    client->updateBlacklist(&full);
    ASSERT_TRUE(m_filter.waitForCommands(2));
    EXPECT_FALSE(Notices::shared().contains(QStringLiteral("blocklist-too-long")));
}

TEST(KextClientConnectTest, SendsNothingBeforeAConnectionAndNothingLaterOnItsOwn) {
    FakeKextFilter filter(FakeKextFilter::Start::deferred);
    KextClient client;
    EXPECT_EQ(client.socket(), 0);
    Blacklist blacklist(QStringLiteral("blacklist-before-connection"));
    blacklist.block(App::initWithIdentifier(QStringLiteral("curl")));
    client.updateBlacklist(&blacklist);

    ASSERT_TRUE(filter.listen());
    EXPECT_TRUE(client.connectIfNeeded());
    EXPECT_NE(client.socket(), 0);
    ASSERT_TRUE(filter.waitForClients(1));
    TestEnvironment::spin(200ms);
    EXPECT_TRUE(filter.commands().empty());
}

TEST(KextClientConnectTest, ConnectIfNeededWhileConnectedOpensNothing) {
    FakeKextFilter filter;
    KextClient client;
    const int socket = client.socket();
    ASSERT_NE(socket, 0);
    EXPECT_TRUE(client.connectIfNeeded());
    EXPECT_TRUE(client.connectIfNeeded());
    EXPECT_EQ(client.socket(), socket);
    TestEnvironment::spin(50ms);
    EXPECT_EQ(filter.acceptedCount(), 1);
}

TEST(KextClientConnectTest, OverlappingConnectsOpenOneSocket) {
    FakeKextFilter filter(FakeKextFilter::Start::deferred);
    KextClient client;
    ASSERT_EQ(client.socket(), 0);
    EXPECT_FALSE(client.connectIfNeeded());
    ASSERT_TRUE(filter.listen());
    std::vector<std::thread> pollers;
    std::atomic<int> connected{0};
    for (int i = 0; i < 8; ++i) {
        pollers.emplace_back([&] { connected += client.connectIfNeeded() ? 1 : 0; });
    }
    for (auto& poller : pollers) {
        poller.join();
    }
    EXPECT_EQ(connected.load(), 8);
    TestEnvironment::spin(50ms);
    EXPECT_EQ(filter.acceptedCount(), 1);
}

TEST(KextClientConnectTest, SharedClientLivesUntilReset) {
    FakeKextFilter filter;
    KextClient& shared = KextClient::shared();
    EXPECT_EQ(&shared, &KextClient::shared());
    EXPECT_NE(shared.socket(), 0);
    KextClient::resetShared();
    EXPECT_NE(KextClient::shared().socket(), 0);
    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return filter.acceptedCount() == 2; }));
    KextClient::resetShared();
}

TEST_F(KextClientTest, DeliversIncomingAndOutgoingAlikeAndDropsOtherCommands) {
    auto client = connectedClient();
    auto subscriber = std::make_shared<RecordingSubscriber>();
    client->addSubscriber(subscriber);
    m_filter.sendRecord(FakeKextFilter::record(2, ::getpid(), "192.0.2.2", 2));
    m_filter.sendRecord(FakeKextFilter::record(0xFFFFFFFF, ::getpid(), "192.0.2.2", 3));
    m_filter.sendRecord(FakeKextFilter::record(0, ::getpid(), "192.0.2.0", 10));
    m_filter.sendRecord(FakeKextFilter::record(1, ::getpid(), "192.0.2.1", 11));
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return subscriber->calls().size() >= 2; }));
    TestEnvironment::spin(100ms);
    EXPECT_EQ(subscriber->ports(), (QStringList{QStringLiteral("10"), QStringLiteral("11")}));
    for (const auto& call : subscriber->calls()) {
        EXPECT_EQ(call.app->identifier(), App::initWithPid(::getpid())->identifier());
        EXPECT_TRUE(call.onMainThread);
    }
}

TEST_F(KextClientTest, DecodesAddressesAsThePeerGaveThem) {
    auto client = connectedClient();
    auto subscriber = std::make_shared<RecordingSubscriber>();
    client->addSubscriber(subscriber);
    m_filter.sendRecord(FakeKextFilter::record(1, ::getpid(), "2001:db8::7", 443));
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return subscriber->calls().size() == 1; }));
    EXPECT_EQ(subscriber->calls()[0].connection->port(), QStringLiteral("443"));
    EXPECT_EQ(subscriber->calls()[0].connection->hostname(), QStringLiteral("2001:db8::7"));

    // Family 0 with the port bytes 01 BB: no port, no address.
    Bytes unknownFamily(36, 0);
    unknownFamily[0] = 1;
    const std::int32_t pid = ::getpid();
    std::memcpy(unknownFamily.data() + 4, &pid, 4);
    unknownFamily[8] = 28;
    unknownFamily[10] = 0x01;
    unknownFamily[11] = 0xBB;
    m_filter.sendRecord(unknownFamily);
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return subscriber->calls().size() == 2; }));
    EXPECT_EQ(subscriber->calls()[1].connection->port(), QStringLiteral("0"));
    EXPECT_TRUE(subscriber->calls()[1].connection->hostname().isEmpty());
}

TEST_F(KextClientTest, ShortLongAndMalformedRecordsNeverReadPastTheBuffer) {
    auto client = connectedClient();
    auto subscriber = std::make_shared<RecordingSubscriber>();
    client->addSubscriber(subscriber);
    const std::int32_t pid = ::getpid();

    // Only command and pid: the rest reads as zeros.
    Bytes header(8, 0);
    std::memcpy(header.data() + 4, &pid, 4);
    m_filter.sendRecord(header);

    // An IPv4 family with the IPv6 length: the port is still read, the look-up is not made.
    Bytes mismatch = FakeKextFilter::record(1, pid, "192.0.2.9", 21);
    mismatch[8] = 28;
    m_filter.sendRecord(mismatch);

    // Longer than the buffer that is read: cut, and decoded from the part that fits.
    Bytes longRecord = FakeKextFilter::record(1, pid, "192.0.2.10", 22);
    longRecord.resize(4096, 0xAB);
    m_filter.sendRecord(longRecord);

    // An empty message and a single byte are dropped or decoded, and reading goes on.
    m_filter.sendRecord(Bytes{});
    m_filter.sendRecord(Bytes{1});
    m_filter.sendRecord(FakeKextFilter::record(1, pid, "192.0.2.11", 23));

    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return subscriber->calls().size() >= 4; }));
    TestEnvironment::spin(100ms);
    // The one-byte record has pid 0, which names no process here.
    EXPECT_EQ(subscriber->ports(), (QStringList{QStringLiteral("0"), QStringLiteral("21"),
                                                QStringLiteral("22"), QStringLiteral("23")}));
    for (const auto& call : subscriber->calls()) {
        if (call.connection->port() == QStringLiteral("21") ||
            call.connection->port() == QStringLiteral("0")) {
            EXPECT_TRUE(call.connection->hostname().isEmpty());
        } else {
            EXPECT_TRUE(call.connection->hostname().startsWith(QStringLiteral("192.0.2.")));
        }
    }
}

TEST_F(KextClientTest, APidWithoutAppProducesNoCall) {
    auto client = connectedClient();
    auto subscriber = std::make_shared<RecordingSubscriber>();
    client->addSubscriber(subscriber);
    m_filter.sendRecord(FakeKextFilter::record(1, pidWithoutProcess(), "192.0.2.1", 1));
    m_filter.sendRecord(FakeKextFilter::record(1, -1, "192.0.2.1", 2));
    m_filter.sendRecord(FakeKextFilter::record(1, ::getpid(), "192.0.2.1", 3));
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return !subscriber->calls().empty(); }));
    TestEnvironment::spin(100ms);
    EXPECT_EQ(subscriber->ports(), QStringList{QStringLiteral("3")});
}

TEST_F(KextClientTest, EverySubscriberHearsEachEventInOrderOnTheMainThread) {
    auto client = connectedClient();
    auto sequence = std::make_shared<int>(0);
    auto first = std::make_shared<RecordingSubscriber>(sequence);
    auto second = std::make_shared<RecordingSubscriber>(sequence);
    client->addSubscriber(first);
    client->addSubscriber(second);
    for (int port = 1; port <= 5; ++port) {
        m_filter.sendRecord(FakeKextFilter::record(1, ::getpid(), "192.0.2.1", port));
    }
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return second->calls().size() == 5; }));
    ASSERT_EQ(first->calls().size(), 5u);
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(first->calls()[i].connection, second->calls()[i].connection);
        EXPECT_EQ(first->calls()[i].sequence + 1, second->calls()[i].sequence);
        EXPECT_TRUE(first->calls()[i].onMainThread);
        EXPECT_TRUE(second->calls()[i].onMainThread);
    }
}

TEST_F(KextClientTest, SlowLookUpsDoNotHoldBackTheOthers) {
    auto client = clientOfSlowServer();
    auto subscriber = std::make_shared<RecordingSubscriber>();
    client->addSubscriber(subscriber);

    // A burst of unanswered addresses, many more than the cores or the decoding threads, then a
    // stream of fast ones that have never been looked up either.
    constexpr int slow = 100;
    constexpr int fast = 300;
    for (int i = 1; i <= slow; ++i) {
        m_filter.sendRecord(FakeKextFilter::record(1, ::getpid(), "10.0.0." + std::to_string(i), 1000));
    }
    for (int i = 0; i < fast; ++i) {
        m_filter.sendRecord(
            FakeKextFilter::record(1, ::getpid(), "192.0.2." + std::to_string(i % 200), 2000));
    }
    const bool fastArrived = TestEnvironment::waitUntil([&] { return subscriber->calls().size() >= fast; });
    const int waiting = slowServer.openGate();
    EXPECT_TRUE(fastArrived);
    EXPECT_GT(waiting, 0);
    int slowDelivered = 0;
    for (const auto& call : subscriber->calls()) {
        slowDelivered += call.connection->port() == QStringLiteral("1000") ? 1 : 0;
    }
    EXPECT_EQ(slowDelivered, 0);

    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return subscriber->calls().size() == slow + fast; }, 10s));
    EXPECT_EQ(subscriber->calls().back().connection->port(), QStringLiteral("1000"));
}

// A resolver that never answers (until the test ends) holds every look-up thread; the addresses
// queued behind them stop at a bound, and the oldest queued goes first, shown with its address.
TEST_F(KextClientTest, LookUpsThatNeverAnswerAreBoundedAndTheOldestShowTheirAddress) {
    auto client = clientOfSlowServer();
    auto subscriber = std::make_shared<RecordingSubscriber>();
    client->addSubscriber(subscriber);
    const auto send = [&](int first, int count) {
        for (int i = first; i < first + count; ++i) {
            m_filter.sendRecord(FakeKextFilter::record(
                1, ::getpid(), "10.0." + std::to_string(i / 256) + "." + std::to_string(i % 256), i));
        }
    };
    constexpr int threads = 128;
    const int queued = static_cast<int>(HostNameCache::Limits{}.queuedLookups);
    constexpr int beyond = 50;
    send(0, threads);
    const bool allHung = TestEnvironment::waitUntil([] {
        std::lock_guard lock(slowServer.mutex);
        return slowServer.waiting == threads;
    });
    send(threads, queued + beyond);
    const bool givenUp = TestEnvironment::waitUntil([&] { return subscriber->calls().size() >= beyond; });
    TestEnvironment::spin(200ms);
    const auto early = subscriber->calls();
    const int stillWaiting = slowServer.openGate();
    EXPECT_TRUE(allHung);
    EXPECT_TRUE(givenUp);
    EXPECT_EQ(stillWaiting, threads);
    ASSERT_EQ(early.size(), std::size_t{beyond});
    for (int i = 0; i < beyond; ++i) {
        const int oldestQueued = threads + i;
        EXPECT_EQ(early[i].connection->port(), QString::number(oldestQueued));
        EXPECT_EQ(early[i].connection->hostname(),
                  QStringLiteral("10.0.%1.%2").arg(oldestQueued / 256).arg(oldestQueued % 256));
    }
    // Nothing is lost: the rest arrive once the resolver answers.
    EXPECT_TRUE(TestEnvironment::waitUntil(
        [&] { return subscriber->calls().size() == static_cast<std::size_t>(threads + queued + beyond); },
        20s));
}

TEST_F(KextClientTest, TheHelloAsksForTheNamesProgramsLookedUp) {
    auto client = connectedClient();
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return !m_filter.hellos().empty(); }));
    const Bytes hello = m_filter.hellos().front();
    std::uint32_t version = 0;
    ASSERT_EQ(hello.size(), sizeof version);
    std::memcpy(&version, hello.data(), sizeof version);
    EXPECT_EQ(version, 2u);
}

// The name the program looked up, else the one another process of the same application looked up
// for that address, else the reverse name, which says so.
TEST_F(KextClientTest, NamesTheHostTheProgramLookedUpElseItsApplicationsElseTheReverseName) {
    auto client = connectedClient();
    client->setNameResolverForTesting(&ptrResolver);
    auto subscriber = std::make_shared<RecordingSubscriber>();
    client->addSubscriber(subscriber);
    const std::int32_t browser = pidWithoutProcess();
    const std::int32_t helper = browser + 1; // another process of the same program
    const std::string program = "/opt/qvux/browser";
    m_filter.sendRecord(
        FakeKextFilter::extendedRecord(1, browser, "192.0.2.7", 1, 4242, program, {}, "api.example.org"));
    m_filter.sendRecord(FakeKextFilter::extendedRecord(1, helper, "192.0.2.7", 2, 4242, program));
    m_filter.sendRecord(FakeKextFilter::extendedRecord(1, helper, "192.0.2.8", 3, 4242, program));
    // A shared address: another application's name for it is no guess for this one.
    m_filter.sendRecord(FakeKextFilter::extendedRecord(1, helper, "192.0.2.7", 4, 4242, "/opt/qvux/mail"));

    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return subscriber->calls().size() == 4; }));
    QHash<QString, ConnectionPtr> byPort;
    for (const auto& call : subscriber->calls()) {
        byPort.insert(call.connection->port(), call.connection);
    }
    using Origin = Connection::HostOrigin;
    EXPECT_EQ(byPort.value(QStringLiteral("1"))->hostname(), QStringLiteral("api.example.org"));
    EXPECT_EQ(byPort.value(QStringLiteral("1"))->hostOrigin(), Origin::program);
    EXPECT_EQ(byPort.value(QStringLiteral("2"))->hostname(), QStringLiteral("api.example.org"));
    EXPECT_EQ(byPort.value(QStringLiteral("2"))->hostOrigin(), Origin::application);
    EXPECT_EQ(byPort.value(QStringLiteral("3"))->hostname(), QStringLiteral("ptr.example.net"));
    EXPECT_EQ(byPort.value(QStringLiteral("3"))->hostOrigin(), Origin::reverseLookup);
    EXPECT_EQ(byPort.value(QStringLiteral("4"))->hostname(), QStringLiteral("ptr.example.net"));
    EXPECT_EQ(byPort.value(QStringLiteral("4"))->hostOrigin(), Origin::reverseLookup);
}

TEST_F(KextClientTest, SaysSoWhileTheFilterIsAwayAndConnectsAgainWhenItIsBack) {
    auto client = connectedClient();
    int reconnects = 0;
    client->setReconnectedHandler([&reconnects] { ++reconnects; });
    auto subscriber = std::make_shared<RecordingSubscriber>();
    client->addSubscriber(subscriber);
    m_filter.sendRecord(FakeKextFilter::record(1, ::getpid(), "192.0.2.1", 7));
    m_filter.stop();
    // What was queued before the end is still delivered.
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return subscriber->calls().size() == 1; }));
    ASSERT_TRUE(
        TestEnvironment::waitUntil([] { return Notices::shared().contains(QStringLiteral("service")); }));
    EXPECT_EQ(client->socket(), 0);

    // Waiting for the filter must not burn a core the way polling a dead socket would.
    const std::clock_t before = std::clock();
    TestEnvironment::spin(500ms);
    EXPECT_LT(double(std::clock() - before) / CLOCKS_PER_SEC, 0.25);
    EXPECT_EQ(reconnects, 0);

    ASSERT_TRUE(m_filter.listen());
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return reconnects == 1; }, 3s));
    EXPECT_NE(client->socket(), 0);
    EXPECT_FALSE(Notices::shared().contains(QStringLiteral("service")));
    ASSERT_TRUE(m_filter.waitForClients(1));
    m_filter.sendRecord(FakeKextFilter::record(1, ::getpid(), "192.0.2.1", 8));
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return subscriber->calls().size() == 2; }));
}

// A service that closes every new connection (polkit says no, or the user has too many clients)
// would refuse again at once: the client asks again only after a wait that grows with each refusal,
// and the notice says so without coming and going.
TEST_F(KextClientTest, BacksOffFromAServiceThatRefusesAndComesBackOnceLetIn) {
    m_filter.setRefusing(true);
    KextClient client;
    int reconnects = 0;
    client.setReconnectedHandler([&reconnects] { ++reconnects; });
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return client.refusalsInARow() == 1; }));
    int noticeChanges = 0;
    const QMetaObject::Connection counting =
        QObject::connect(&Notices::shared(), &Notices::changed, [&noticeChanges] { ++noticeChanges; });
    TestEnvironment::spin(4000ms);
    QObject::disconnect(counting);
    EXPECT_EQ(m_filter.acceptedCount(), 1) << "no new attempt within the first wait";
    EXPECT_EQ(noticeChanges, 0);
    EXPECT_TRUE(
        Notices::shared().text(QStringLiteral("service")).contains(QStringLiteral("without letting")));
    EXPECT_EQ(reconnects, 0);
    EXPECT_EQ(KextClient::delayAfterRefusals(2), 2 * KextClient::delayAfterRefusals(1));

    m_filter.setRefusing(false);
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return reconnects == 1; }, 5s));
    EXPECT_TRUE(client.admittedByService());
    EXPECT_EQ(client.refusalsInARow(), 0);
    EXPECT_FALSE(Notices::shared().contains(QStringLiteral("service")));
    EXPECT_EQ(m_filter.acceptedCount(), 2);
}

// The packaged service's RuntimeDirectory= is removed when it stops, so the folder the client
// watched is gone and its new namesake is not watched: only the retry timer can bring it back.
TEST_F(KextClientTest, ConnectsAgainWhenTheServiceComesBackInAControlFolderMadeAnew) {
    auto client = connectedClient();
    int reconnects = 0;
    client->setReconnectedHandler([&reconnects] { ++reconnects; });
    m_filter.stop();
    const QString folder = QString::fromStdString(m_filter.controlDirectory());
    ASSERT_TRUE(QDir(folder).removeRecursively());
    ASSERT_TRUE(
        TestEnvironment::waitUntil([] { return Notices::shared().contains(QStringLiteral("service")); }));

    ASSERT_TRUE(QDir().mkpath(folder));
    ASSERT_TRUE(m_filter.listen());
    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return reconnects == 1; }, 5s));
    EXPECT_NE(client->socket(), 0);
}

TEST_F(KextClientTest, NamesTheProcessAsTheServiceReportsIt) {
    auto client = connectedClient();
    auto subscriber = std::make_shared<RecordingSubscriber>();
    client->addSubscriber(subscriber);
    QTemporaryDir folder;
    const QString script = folder.filePath(QStringLiteral("fetch.sh"));
    ASSERT_TRUE(writeScript(script));

    // A script is named rather than the interpreter /proc shows for it.
    m_filter.sendRecord(FakeKextFilter::extendedRecord(1, ::getpid(), "192.0.2.1", 1, ::getuid(), "/bin/sh",
                                                       script.toStdString()));
    // A process /proc cannot show (gone, or another user's): the service's name, never the short one.
    const std::string longName = "qvux-long-name-of-thirty-chars";
    m_filter.sendRecord(
        FakeKextFilter::extendedRecord(1, pidWithoutProcess(), "192.0.2.1", 2, 4242, "/opt/x/" + longName));
    // An extension that does not match the message's length is ignored: a plain record.
    Bytes damaged = FakeKextFilter::extendedRecord(1, ::getpid(), "192.0.2.1", 3, ::getuid(), "/bin/sh",
                                                   script.toStdString());
    damaged.push_back('x');
    m_filter.sendRecord(damaged);

    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return subscriber->calls().size() == 3; }));
    QHash<QString, QString> identifierByPort;
    for (const auto& call : subscriber->calls()) {
        identifierByPort.insert(call.connection->port(), call.app->identifier());
    }
    EXPECT_EQ(identifierByPort.value(QStringLiteral("1")), script);
    EXPECT_EQ(identifierByPort.value(QStringLiteral("2")), QString::fromStdString(longName));
    EXPECT_EQ(identifierByPort.value(QStringLiteral("3")), App::initWithPid(::getpid())->identifier());
}

TEST_F(KextClientTest, RefusedAttemptsAreCountedNotDelivered) {
    auto client = connectedClient();
    auto subscriber = std::make_shared<RecordingSubscriber>();
    client->addSubscriber(subscriber);
    const AppPtr self = App::initWithPid(::getpid());
    for (int i = 0; i < 3; ++i) {
        m_filter.sendRecord(FakeKextFilter::extendedRecord(2, ::getpid(), "192.0.2.1", 443, ::getuid(), ""));
    }
    m_filter.sendRecord(FakeKextFilter::record(1, ::getpid(), "192.0.2.1", 80));
    ASSERT_TRUE(TestEnvironment::waitUntil(
        [&] { return RefusedAttempts::shared().tally(self->identifierKey()).count == 3; }));
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return !subscriber->calls().empty(); }));
    TestEnvironment::spin(100ms);
    EXPECT_EQ(subscriber->ports(), QStringList{QStringLiteral("80")});
    EXPECT_TRUE(RefusedAttempts::shared().tally(self->identifierKey()).last.isValid());
}

TEST_F(KextClientTest, ParseKextCommandDecodesOneRecord) {
    Quilvane::Wire::RecordBuffer record{};
    const Bytes bytes = FakeKextFilter::record(0, ::getpid(), "192.0.2.44", 8080);
    std::copy(bytes.begin(), bytes.end(), record.begin());
    const auto event = KextClient::parseKextCommand(record, bytes.size(), &numericResolver);
    ASSERT_TRUE(event);
    EXPECT_EQ(event->connection->hostname(), QStringLiteral("192.0.2.44"));
    EXPECT_EQ(event->connection->port(), QStringLiteral("8080"));
    EXPECT_TRUE(event->app);

    record[0] = 2;
    EXPECT_FALSE(KextClient::parseKextCommand(record, bytes.size(), &numericResolver));
    record[0] = 1;
    const std::int32_t nobody = pidWithoutProcess();
    std::memcpy(record.data() + 4, &nobody, 4);
    EXPECT_FALSE(KextClient::parseKextCommand(record, bytes.size(), &numericResolver));
}
