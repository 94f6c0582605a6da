// SPDX-License-Identifier: GPL-3.0-or-later
// quilvanectl run as a program: a change of the list reaches a running window's model and the
// service; watch prints one JSON object a line.
#include "app/Startup.h"
#include "model/Blacklist.h"
#include "model/BlacklistSubscriber.h"
#include "platform/UserDefaults.h"
#include "tests/filterd/FilterdTestSupport.h"
#include "tests/support/FakeKextFilter.h"
#include "tests/support/TestEnvironment.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <regex>

using namespace std::chrono_literals;

namespace {

struct Recorder final : BlacklistSubscriber {
    void appBlocked(const AppPtr& app) override { blocked.append(app->identifier()); }
    void appUnblocked(const AppPtr& app) override { unblocked.append(app->identifier()); }
    void blacklistLoaded(const QList<AppPtr>&) override {}
    QStringList blocked;
    QStringList unblocked;
};

struct CtlRun {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

CtlRun quilvanectl(const QStringList& arguments) {
    QProcess process;
    process.start(QStringLiteral(QUILVANECTL_BINARY), arguments);
    process.waitForFinished(20000);
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            process.readAllStandardOutput(), process.readAllStandardError()};
}

// The state letter of /proc/PID/stat: T while the simulator holds a blocked application stopped.
char processState(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const auto close = line.rfind(')');
    return close == std::string::npos || close + 2 >= line.size() ? '?' : line[close + 2];
}

} // namespace

class QuilvanectlTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        m_control = m_dir.filePath(QStringLiteral("control")).toStdString();
        qputenv("QUILVANE_CONTROL_DIR", QByteArray::fromStdString(m_control));
        m_service = FilterdTestSupport::ServiceProcess::start(
            {"--simulate", "--control-dir", m_control, "--lists-dir",
             m_dir.filePath(QStringLiteral("none")).toStdString(), "--config",
             m_dir.filePath(QStringLiteral("none.conf")).toStdString()},
            m_dir.filePath(QStringLiteral("filterd.log")).toStdString());
        ASSERT_TRUE(m_service);
    }
    void TearDown() override { qunsetenv("QUILVANE_CONTROL_DIR"); }

    pid_t simulatedPid(const std::string& name) {
        std::smatch match;
        const std::string log = m_service->log();
        const std::regex pattern("simulated application " + name + " runs as pid ([0-9]+)");
        return std::regex_search(log, match, pattern) ? std::stoi(match[1]) : -1;
    }

    QTemporaryDir m_dir;
    std::string m_control;
    std::unique_ptr<FilterdTestSupport::ServiceProcess> m_service;
};

TEST_F(QuilvanectlTest, BlockAndUnblockReachARunningWindowsModelAndTheService) {
    Startup::useSettingsSchema();
    UserDefaults::resetStandard();
    Blacklist::resetShared();
    QObject window;
    Startup::followSettingsFile(UserDefaults::standard(), &window);
    auto recorder = std::make_shared<Recorder>();
    Blacklist::shared().addSubscriber(recorder);
    const pid_t mail = simulatedPid("quilvane-sim-mail");
    ASSERT_GT(mail, 0) << m_service->log();

    const CtlRun blocked = quilvanectl({QStringLiteral("block"), QStringLiteral("quilvane-sim-mail")});
    EXPECT_EQ(blocked.exitCode, 0) << blocked.err.toStdString();
    ASSERT_TRUE(TestEnvironment::waitUntil([&] {
        return recorder->blocked.contains(QStringLiteral("quilvane-sim-mail"));
    })) << "the window's model did not follow the settings file";
    EXPECT_EQ(Blacklist::shared().identifiers(), QStringList{QStringLiteral("quilvane-sim-mail")});
    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return processState(mail) == 'T'; }, 2000ms))
        << "the service does not enforce the list: " << m_service->log();

    const CtlRun listed = quilvanectl({QStringLiteral("list")});
    EXPECT_EQ(listed.out, QByteArray("quilvane-sim-mail\n"));

    const CtlRun unblocked = quilvanectl({QStringLiteral("unblock"), QStringLiteral("quilvane-sim-mail")});
    EXPECT_EQ(unblocked.exitCode, 0) << unblocked.err.toStdString();
    EXPECT_TRUE(TestEnvironment::waitUntil(
        [&] { return recorder->unblocked.contains(QStringLiteral("quilvane-sim-mail")); }));
    EXPECT_TRUE(Blacklist::shared().identifiers().isEmpty());
    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return processState(mail) != 'T'; }, 2000ms));

    // Nothing is half done: a name that is no program is refused, the rest is added.
    const CtlRun bad =
        quilvanectl({QStringLiteral("block"), QStringLiteral("./no/such/program"), QStringLiteral("curl")});
    EXPECT_EQ(bad.exitCode, 1);
    EXPECT_TRUE(bad.err.contains("./no/such/program is no application or program")) << bad.err.toStdString();
    EXPECT_EQ(quilvanectl({QStringLiteral("list")}).out, QByteArray("curl\n"));
    Blacklist::resetShared();
    UserDefaults::resetStandard();
}

TEST_F(QuilvanectlTest, WatchPrintsOneJsonObjectPerRecord) {
    QProcess watch;
    watch.start(QStringLiteral(QUILVANECTL_BINARY), {QStringLiteral("watch")});
    ASSERT_TRUE(watch.waitForStarted());
    QByteArray out;
    TestEnvironment::waitUntil(
        [&] {
            watch.waitForReadyRead(100);
            out += watch.readAllStandardOutput();
            return out.count('\n') >= 5;
        },
        10000ms);
    watch.kill();
    watch.waitForFinished();
    const QList<QByteArray> lines = out.trimmed().split('\n');
    ASSERT_GE(lines.size(), 5) << out.toStdString();
    for (const QByteArray& line : lines) {
        QJsonParseError error{};
        const QJsonDocument document = QJsonDocument::fromJson(line, &error);
        ASSERT_TRUE(document.isObject()) << line.toStdString() << ": " << error.errorString().toStdString();
        const QJsonObject record = document.object();
        EXPECT_TRUE(record.value(QStringLiteral("direction")) == QStringLiteral("outgoing") ||
                    record.value(QStringLiteral("direction")) == QStringLiteral("incoming"));
        EXPECT_EQ(record.value(QStringLiteral("verdict")).toString(), QStringLiteral("allowed"));
        EXPECT_GT(record.value(QStringLiteral("pid")).toInteger(), 0);
        EXPECT_EQ(record.value(QStringLiteral("uid")).toInteger(), static_cast<qint64>(::getuid()));
        EXPECT_FALSE(record.value(QStringLiteral("exe")).toString().isEmpty());
        EXPECT_FALSE(record.value(QStringLiteral("remote_addr")).toString().isEmpty());
    }
}

// Against a stand-in that records the hello and sends a record naming the host the program looked up.
TEST(Quilvanectl, WatchAsksForAndPrintsTheHostNameTheProgramLookedUp) {
    FakeKextFilter filter;
    QProcess watch;
    watch.start(QStringLiteral(QUILVANECTL_BINARY), {QStringLiteral("watch")});
    ASSERT_TRUE(watch.waitForStarted());
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return !filter.hellos().empty(); }));
    const std::vector<std::uint8_t> hello = filter.hellos().front();
    std::uint32_t version = 0;
    ASSERT_EQ(hello.size(), sizeof version);
    std::memcpy(&version, hello.data(), sizeof version);
    EXPECT_EQ(version, 2u);

    filter.sendRecord(FakeKextFilter::extendedRecord(1, 4321, "192.0.2.9", 443, 1000, "/usr/bin/curl", {},
                                                     "api.example.org"));
    filter.sendRecord(FakeKextFilter::extendedRecord(1, 4321, "192.0.2.9", 80, 1000, "/usr/bin/curl"));
    QByteArray out;
    TestEnvironment::waitUntil(
        [&] {
            watch.waitForReadyRead(100);
            out += watch.readAllStandardOutput();
            return out.count('\n') >= 2;
        },
        10000ms);
    watch.kill();
    watch.waitForFinished();
    const QList<QByteArray> lines = out.trimmed().split('\n');
    ASSERT_EQ(lines.size(), 2) << out.toStdString();
    const QJsonObject named = QJsonDocument::fromJson(lines[0]).object();
    EXPECT_EQ(named.value(QStringLiteral("host")).toString(), QStringLiteral("api.example.org"));
    EXPECT_EQ(named.value(QStringLiteral("remote_addr")).toString(), QStringLiteral("192.0.2.9"));
    EXPECT_FALSE(QJsonDocument::fromJson(lines[1]).object().contains(QStringLiteral("host")));
}

TEST(Quilvanectl, WrongUsageExitsWithTwoAndSaysWhy) {
    const CtlRun unknown = quilvanectl({QStringLiteral("frobnicate")});
    EXPECT_EQ(unknown.exitCode, 2);
    EXPECT_EQ(unknown.err, QByteArray("quilvanectl: unknown command \"frobnicate\" (try --help)\n"));
    EXPECT_EQ(quilvanectl({QStringLiteral("block")}).exitCode, 2);
    const CtlRun version = quilvanectl({QStringLiteral("--version")});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_TRUE(version.out.startsWith("quilvanectl ")) << version.out.toStdString();
}
