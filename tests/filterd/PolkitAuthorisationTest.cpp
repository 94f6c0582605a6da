// SPDX-License-Identifier: GPL-3.0-or-later
// Who may use the service besides root and its group: the clients whose process polkit authorises,
// asked over a real system bus of the test's own, with rules that grant one user and not another.
#include "tests/filterd/FilterdTestSupport.h"
#include "tests/filterd/PolkitTestBus.h"
#include "tests/support/TestEnvironment.h"

#include <QFile>
#include <QTemporaryDir>
#include <csignal>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace FilterdTestSupport;
using namespace std::chrono_literals;

namespace {

// Neither is in group root, the service's group in these tests.
constexpr uid_t kGranted = 65534; // nobody
constexpr uid_t kRefused = 5;     // games

const char* const kRules = R"(polkit.addRule(function(action, subject) {
    if (action.id == "com.quilvaneapp.filter.manage" && subject.user == "nobody") {
        return polkit.Result.YES;
    }
    if (action.id == "com.quilvaneapp.filter.manage" && subject.user == "games") {
        return polkit.Result.NO;
    }
});
)";

enum Outcome { served = 0, closed = 1, cannotConnect = 3 };

class PolkitAuthorisationTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!TestEnvironment::isRoot()) {
            GTEST_SKIP() << "needs root to start polkitd and to run clients as other users";
        }
        ASSERT_TRUE(m_dir.isValid());
        ::chmod(m_dir.path().toLocal8Bit().constData(), 0755);
    }

    void startPolkit() {
        std::string why;
        m_bus = PolkitTestBus::start(m_dir.filePath(QStringLiteral("bus")).toStdString(), kRules, why);
        if (!m_bus) {
            GTEST_SKIP() << why;
        }
    }

    void startService(const std::string& busAddress) {
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", busAddress.c_str(), 1);
        m_service = ServiceProcess::start({"--simulate", "--control-dir", controlDir(), "--group", "root"},
                                          m_dir.filePath(QStringLiteral("filterd.log")).toStdString());
        ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
        ASSERT_TRUE(m_service);
    }

    std::string controlDir() const { return m_dir.filePath(QStringLiteral("control")).toStdString(); }
    std::string socketPath() const { return controlDir() + "/com.quilvaneapp.nke.filter"; }

    // Connects as `uid` (no supplementary groups) and tells whether the service keeps the client or
    // closes the connection. With `leave`, the client exits right after connecting.
    pid_t connectAs(uid_t uid, bool leave = false) {
        const pid_t child = ::fork();
        if (child == 0) {
            const passwd* user = ::getpwuid(uid);
            if (user == nullptr || ::setgroups(0, nullptr) != 0 || ::setgid(user->pw_gid) != 0 ||
                ::setuid(uid) != 0) {
                ::_exit(20);
            }
            auto client = ControlClient::connect(socketPath());
            if (!client) {
                ::_exit(cannotConnect);
            }
            if (leave) {
                ::_exit(served);
            }
            // Records go only to their owner's clients, and the simulated programs are root's: a
            // client that is still connected well past polkit's one second has been let in.
            ::_exit(client->waitForClose(2500ms) ? closed : served);
        }
        return child;
    }

    static int outcome(pid_t child) {
        int status = 0;
        ::waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    QTemporaryDir m_dir;
    std::unique_ptr<PolkitTestBus> m_bus;
    std::unique_ptr<ServiceProcess> m_service;
};

} // namespace

TEST_F(PolkitAuthorisationTest, ServesTheUserPolkitGrantsAndClosesOnTheOneItRefuses) {
    ASSERT_NO_FATAL_FAILURE(startPolkit());
    if (IsSkipped()) {
        return;
    }
    ASSERT_NO_FATAL_FAILURE(startService(m_bus->address()));
    struct stat socket {};
    ASSERT_EQ(::stat(socketPath().c_str(), &socket), 0);
    EXPECT_EQ(socket.st_mode & 0777, 0666u) << "every user can reach the service to be asked about";

    // polkitd reads its rules on its first question, which under an emulated kernel takes longer
    // than the service waits; one question first, whatever its outcome, times the rest fairly.
    outcome(connectAs(kGranted));
    const pid_t granted = connectAs(kGranted);
    const pid_t refused = connectAs(kRefused);
    EXPECT_EQ(outcome(granted), served);
    EXPECT_EQ(outcome(refused), closed);
    const std::string log = m_service->log();
    EXPECT_NE(log.find("(uid 65534), authorised by polkit"), std::string::npos) << log;
    EXPECT_NE(log.find("(uid 5): neither root nor a member of the service's group, and polkit does not "
                       "authorise it"),
              std::string::npos)
        << log;
}

// A refused user can open clients as fast as it likes; polkit hears of it at most once a second.
TEST_F(PolkitAuthorisationTest, AsksPolkitAboutARefusedUserAtMostOnceASecond) {
    ASSERT_NO_FATAL_FAILURE(startPolkit());
    if (IsSkipped()) {
        return;
    }
    ASSERT_NO_FATAL_FAILURE(startService(m_bus->address()));
    const auto asked = [this] {
        const std::string log = m_service->log();
        std::size_t count = 0;
        for (auto at = log.find("polkit does not authorise it"); at != std::string::npos;
             at = log.find("polkit does not authorise it", at + 1)) {
            ++count;
        }
        return count;
    };
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(outcome(connectAs(kRefused)), closed);
    }
    const bool withinASecond = std::chrono::steady_clock::now() - start < 1s;
    if (withinASecond) {
        EXPECT_EQ(asked(), 1u) << m_service->log();
    }
    EXPECT_NE(m_service->log().find("polkit refused this user less than a second ago"), std::string::npos);
    std::this_thread::sleep_for(1100ms);
    EXPECT_EQ(outcome(connectAs(kRefused)), closed);
    EXPECT_GE(asked(), 2u) << "asked again once the second has passed";
}

TEST_F(PolkitAuthorisationTest, NoAnswerWithinASecondIsNoAndALeavingClientIsDroppedQuietly) {
    ASSERT_NO_FATAL_FAILURE(startPolkit());
    if (IsSkipped()) {
        return;
    }
    ASSERT_NO_FATAL_FAILURE(startService(m_bus->address()));
    ASSERT_EQ(::kill(m_bus->polkitPid(), SIGSTOP), 0);

    const pid_t leaving = connectAs(kGranted, true);
    EXPECT_EQ(outcome(leaving), served);
    EXPECT_EQ(outcome(connectAs(kGranted)), closed) << "even the user the rules grant";
    const std::string log = m_service->log();
    EXPECT_NE(log.find("polkit did not answer within 1000 ms"), std::string::npos) << log;
    EXPECT_EQ(log.find("refused client pid " + std::to_string(leaving)), std::string::npos)
        << "a client that left is not refused in the log";

    ::kill(m_bus->polkitPid(), SIGCONT);
    EXPECT_EQ(outcome(connectAs(kGranted)), served) << "an answering polkit is asked again";
}

TEST_F(PolkitAuthorisationTest, WithoutASystemBusTheGroupRuleStandsAloneUntilTheBusComes) {
    const std::string busFolder = m_dir.filePath(QStringLiteral("bus")).toStdString();
    ASSERT_NO_FATAL_FAILURE(startService("unix:path=" + busFolder + "/system_bus_socket"));
    EXPECT_EQ(outcome(connectAs(kGranted)), closed);
    EXPECT_EQ(outcome(connectAs(kGranted)), closed);
    auto root = ControlClient::connect(socketPath());
    ASSERT_TRUE(root);
    EXPECT_TRUE(root->waitForRecord([](const auto&) { return true; }, 5000ms)) << "root is served as before";
    std::string log = m_service->log();
    const std::string once = "polkit cannot be asked (cannot reach the system bus";
    EXPECT_NE(log.find(once), std::string::npos) << log;
    EXPECT_EQ(log.find(once), log.rfind(once)) << "said once, not per client";
    EXPECT_NE(log.find("there is no system bus to ask polkit"), std::string::npos) << log;

    // The service may start before the bus: once the bus is there, polkit is asked.
    ASSERT_NO_FATAL_FAILURE(startPolkit());
    if (IsSkipped()) {
        return;
    }
    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return outcome(connectAs(kGranted)) == served; }, 10000ms));
    log = m_service->log();
    EXPECT_NE(log.find("reached the system bus"), std::string::npos) << log;
}

TEST_F(PolkitAuthorisationTest, ABusWithoutPolkitLeavesTheGroupRuleAloneAndSaysSoOnce) {
    std::string why;
    m_bus = PolkitTestBus::startWithoutPolkit(m_dir.filePath(QStringLiteral("bus")).toStdString(), why);
    ASSERT_TRUE(m_bus) << why;
    ASSERT_NO_FATAL_FAILURE(startService(m_bus->address()));
    EXPECT_EQ(outcome(connectAs(kGranted)), closed);
    EXPECT_EQ(outcome(connectAs(kGranted)), closed);
    const std::string log = m_service->log();
    const std::string once = "polkit is not running on the system bus";
    EXPECT_NE(log.find(once), std::string::npos) << log;
    EXPECT_EQ(log.find(once), log.rfind(once)) << "said once, not per client";
}

// The application of a user polkit turns away, where the service is run by other means (no start-up
// guide): it shows the error view and does not knock again, so the service's log gains no refusal
// once the window is up. Every knock would be one more line there.
TEST_F(PolkitAuthorisationTest, ARefusedUsersApplicationShowsTheErrorViewAndStopsKnocking) {
    ASSERT_NO_FATAL_FAILURE(startPolkit());
    if (IsSkipped()) {
        return;
    }
    ASSERT_NO_FATAL_FAILURE(startService(m_bus->address()));
    const passwd* user = ::getpwuid(kRefused);
    ASSERT_NE(user, nullptr);
    const std::string home = m_dir.filePath(QStringLiteral("home")).toStdString();
    ASSERT_EQ(::mkdir(home.c_str(), 0700), 0);
    ASSERT_EQ(::chown(home.c_str(), kRefused, user->pw_gid), 0);
    const std::string output = m_dir.filePath(QStringLiteral("quilvane.out")).toStdString();
    // A copy the user can reach: the build folder may be one only root may enter.
    const std::string program = m_dir.filePath(QStringLiteral("quilvane")).toStdString();
    ASSERT_TRUE(QFile::copy(QStringLiteral(QUILVANE_APP_BINARY), QString::fromStdString(program)));
    ASSERT_EQ(::chmod(program.c_str(), 0755), 0);

    const pid_t application = ::fork();
    if (application == 0) {
        const int out = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (out < 0 || ::dup2(out, 1) < 0 || ::dup2(out, 2) < 0 || ::setgroups(0, nullptr) != 0 ||
            ::setgid(user->pw_gid) != 0 || ::setuid(kRefused) != 0) {
            ::_exit(20);
        }
        for (const char* name :
             {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR"}) {
            ::unsetenv(name);
        }
        ::setenv("HOME", home.c_str(), 1);
        ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        ::setenv("QUILVANE_CONTROL_DIR", controlDir().c_str(), 1);
        ::setenv("QUILVANE_FILTER_NEEDS_APPROVAL", "0", 1);
        ::execl(program.c_str(), program.c_str(), "--quit-after", "20", static_cast<char*>(nullptr));
        ::_exit(21);
    }
    ASSERT_GT(application, 0);
    const auto printed = [&] {
        QFile file(QString::fromStdString(output));
        return file.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(file.readAll()) : QString();
    };
    const auto refusals = [this] {
        const std::string log = m_service->log();
        std::size_t count = 0;
        for (auto at = log.find("(uid 5): "); at != std::string::npos; at = log.find("(uid 5): ", at + 1)) {
            ++count;
        }
        return count;
    };
    const bool errorView = TestEnvironment::waitUntil(
        [&] { return printed().contains(QStringLiteral("The filter service does not let you in")); }, 10s);
    const std::size_t atErrorView = refusals();
    std::this_thread::sleep_for(5s);
    const std::size_t fiveSecondsLater = refusals();
    const bool stillOpen = ::waitpid(application, nullptr, WNOHANG) == 0;
    ::kill(application, SIGTERM);
    ::waitpid(application, nullptr, 0);

    EXPECT_TRUE(errorView) << printed().toStdString();
    EXPECT_TRUE(stillOpen) << printed().toStdString();
    EXPECT_GE(atErrorView, 1u) << "the launch was refused once: " << m_service->log();
    EXPECT_EQ(fiveSecondsLater, atErrorView) << m_service->log();
}
