// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/FilterServiceStatus.h"

#include "tests/platform/PackageFixtures.h"
#include "tests/support/QtPrinters.h"
#include "wire/UniqueFd.h"

#include <QTemporaryDir>
#include <chrono>
#include <cstring>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
using State = FilterServiceStatus::State;
using Quilvane::Wire::UniqueFd;

namespace {

constexpr uid_t nobody = 65534;

// A SEQPACKET socket bound at `path`, listening unless told otherwise.
UniqueFd bindControlSocket(const std::string& path, bool listening) {
    UniqueFd fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (!fd || ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        (listening && ::listen(fd.get(), 8) != 0)) {
        return UniqueFd();
    }
    return fd;
}

// The next client, or nothing after a few seconds (so a probe that never came cannot hang the test).
UniqueFd acceptWithin(int listening) {
    pollfd ready{listening, POLLIN, 0};
    if (::poll(&ready, 1, 5000) != 1) {
        return UniqueFd();
    }
    return UniqueFd(::accept4(listening, nullptr, nullptr, SOCK_CLOEXEC));
}

// The probe, run as the user nobody (no groups) in a child process; its answer comes back as the
// exit status.
State probeAsNobody(const std::string& path, std::chrono::milliseconds wait) {
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setresgid(nobody, nobody, nobody) != 0 ||
            ::setresuid(nobody, nobody, nobody) != 0) {
            ::_exit(100);
        }
        ::_exit(static_cast<int>(FilterServiceStatus::probe(path, {}, wait)));
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_NE(WEXITSTATUS(status), 100) << "could not become nobody";
    return static_cast<State>(WEXITSTATUS(status));
}

TEST(FilterServiceStatusTest, TellsNotInstalledFromNotRunningFromAnswering) {
    QTemporaryDir control;
    QTemporaryDir units;
    ASSERT_TRUE(control.isValid() && units.isValid());
    const std::string path = control.filePath(QStringLiteral("com.quilvaneapp.nke.filter")).toStdString();
    const QStringList unitDirectories{units.path()};

    EXPECT_EQ(FilterServiceStatus::probe(path, unitDirectories, 0ms), State::notInstalled);
    ASSERT_TRUE(
        PackageFixtures::writeFile(units.path() + QStringLiteral("/quilvane-filterd.service"), "[Unit]\n"));
    EXPECT_EQ(FilterServiceStatus::probe(path, unitDirectories, 0ms), State::notRunning);

    {
        // The socket of a service that died: there, but nobody listens.
        const UniqueFd stale = bindControlSocket(path, false);
        ASSERT_TRUE(stale);
        EXPECT_EQ(FilterServiceStatus::probe(path, unitDirectories, 0ms), State::notRunning);
    }
    ::unlink(path.c_str());
    const UniqueFd service = bindControlSocket(path, true);
    ASSERT_TRUE(service);
    EXPECT_EQ(FilterServiceStatus::probe(path, unitDirectories, 0ms), State::answering);
}

TEST(FilterServiceStatusTest, TellsARefusalByTheSocketsModeOrByAHangUp) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to run the probe as another user";
    }
    QTemporaryDir control;
    ASSERT_TRUE(control.isValid());
    const std::string path = control.filePath(QStringLiteral("com.quilvaneapp.nke.filter")).toStdString();
    const UniqueFd service = bindControlSocket(path, true);
    ASSERT_TRUE(service);

    // A folder closed to the user: the service keeps them out before it is even asked.
    ASSERT_EQ(::chmod(control.path().toLocal8Bit().constData(), 0700), 0);
    EXPECT_EQ(probeAsNobody(path, 0ms), State::refused);

    // Open to everyone, the service decides: it hangs up on a refused client once polkit has said no.
    ASSERT_EQ(::chmod(control.path().toLocal8Bit().constData(), 0755), 0);
    ASSERT_EQ(::chmod(path.c_str(), 0666), 0);
    std::thread refuser([&] {
        const UniqueFd client = acceptWithin(service.get());
        std::this_thread::sleep_for(200ms);
    });
    EXPECT_EQ(probeAsNobody(path, 2000ms), State::refused);
    refuser.join();

    // A client that is let in stays connected through the wait.
    std::thread admitter([&] {
        const UniqueFd client = acceptWithin(service.get());
        std::this_thread::sleep_for(1500ms);
    });
    EXPECT_EQ(probeAsNobody(path, 500ms), State::answering);
    admitter.join();
}

TEST(FilterServiceStatusTest, EachStateSaysWhatHelps) {
    const auto refused = FilterServiceStatus::advice(State::refused, QStringLiteral("alice"));
    EXPECT_EQ(refused.title, QStringLiteral("The filter service does not let you in"));
    EXPECT_TRUE(refused.explanation.contains(QStringLiteral("active local session")));
    EXPECT_TRUE(refused.explanation.contains(QStringLiteral("log out and in again")));
    EXPECT_EQ(refused.command, QStringLiteral("sudo usermod -aG quilvane alice"));

    const auto notRunning = FilterServiceStatus::advice(State::notRunning, QStringLiteral("alice"));
    EXPECT_TRUE(notRunning.explanation.contains(QStringLiteral("installed but not running")));
    EXPECT_EQ(notRunning.command, QStringLiteral("sudo systemctl enable --now quilvane-filterd.service"));

    const auto notInstalled = FilterServiceStatus::advice(State::notInstalled, QStringLiteral("alice"));
    EXPECT_TRUE(notInstalled.explanation.contains(QStringLiteral("not installed")));
    EXPECT_EQ(notInstalled.command, QStringLiteral("sudo apt install quilvane-filterd"));

    // Only a service that answers can be of the wrong version; a newer download is what helps then.
    const auto otherVersion = FilterServiceStatus::advice(State::answering, QStringLiteral("alice"));
    EXPECT_TRUE(otherVersion.explanation.contains(QStringLiteral("not this version of Quilvane")));
    EXPECT_TRUE(otherVersion.command.isEmpty());
}

} // namespace
