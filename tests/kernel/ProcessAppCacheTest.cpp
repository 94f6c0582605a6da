// SPDX-License-Identifier: GPL-3.0-or-later
#include "kernel/ProcessAppCache.h"

#include "tests/support/QtPrinters.h"

#include <QFile>
#include <atomic>
#include <csignal>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

// A child process that waits for a byte on a pipe and then runs `sleep` in its place.
class ChildProcess final {
public:
    ChildProcess() {
        int fds[2];
        if (::pipe(fds) != 0) {
            return;
        }
        m_pid = ::fork();
        if (m_pid == 0) {
            ::close(fds[1]);
            char go;
            if (::read(fds[0], &go, 1) == 1) {
                ::execl("/bin/sleep", "sleep", "30", static_cast<char*>(nullptr));
            }
            ::_exit(0);
        }
        ::close(fds[0]);
        m_go = fds[1];
    }
    ~ChildProcess() {
        stop();
        ::close(m_go);
    }

    pid_t pid() const { return m_pid; }

    void exec() { [[maybe_unused]] const ssize_t written = ::write(m_go, "x", 1); }

    void stop() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
            m_pid = -1;
        }
    }

private:
    pid_t m_pid = -1;
    int m_go = -1;
};

QString exeOf(pid_t pid) {
    return QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(pid));
}

} // namespace

TEST(ProcessAppCacheTest, AnswersFromTheCacheWhileTheSameProcessRuns) {
    std::atomic<int> built{0};
    ProcessAppCache cache([&built](qint32 pid, const ProcessAppCache::Identity*) {
        ++built;
        return App::initWithPid(pid);
    });
    const auto first = cache.appForPid(::getpid());
    ASSERT_TRUE(first);
    const auto second = cache.appForPid(::getpid());
    EXPECT_EQ(first, second);
    EXPECT_EQ(built.load(), 1);
}

TEST(ProcessAppCacheTest, ANewProgramOrAReusedNumberIsLookedUpAgain) {
    std::atomic<int> built{0};
    ProcessAppCache cache([&built](qint32 pid, const ProcessAppCache::Identity*) {
        ++built;
        return App::initWithPid(pid);
    });
    ChildProcess child;
    ASSERT_GT(child.pid(), 0);
    const QString before = exeOf(child.pid());
    ASSERT_TRUE(cache.appForPid(child.pid()));
    ASSERT_TRUE(cache.appForPid(child.pid()));
    EXPECT_EQ(built.load(), 1);

    child.exec();
    for (int i = 0; i < 500 && exeOf(child.pid()) == before; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_NE(exeOf(child.pid()), before);
    const auto afterExec = cache.appForPid(child.pid());
    ASSERT_TRUE(afterExec);
    EXPECT_EQ(afterExec->executable(), QStringLiteral("sleep"));
    EXPECT_EQ(built.load(), 2);

    // Once the process has gone, its number may belong to someone else: never answer from memory.
    const pid_t gone = child.pid();
    child.stop();
    cache.appForPid(gone);
    EXPECT_EQ(built.load(), 3);
}

TEST(ProcessAppCacheTest, TheServicesAccountOfTheProcessSaysWhenItRunsAnotherProgram) {
    std::atomic<int> built{0};
    std::optional<ProcessAppCache::Identity> lastTold;
    ProcessAppCache cache([&](qint32 pid, const ProcessAppCache::Identity* identity) {
        ++built;
        lastTold = identity != nullptr ? std::optional(*identity) : std::nullopt;
        return App::initWithPid(pid);
    });
    const ProcessAppCache::Identity shell{1000, "/bin/sh", "/home/u/fetch.sh", ""};
    ASSERT_TRUE(cache.appForPid(::getpid(), shell));
    EXPECT_EQ(lastTold, shell);
    cache.appForPid(::getpid(), shell);
    EXPECT_EQ(built.load(), 1);
    // The same process after an exec: another account, another App.
    cache.appForPid(::getpid(), ProcessAppCache::Identity{1000, "/usr/bin/curl", "", ""});
    EXPECT_EQ(built.load(), 2);
}

TEST(ProcessAppCacheTest, RemembersNothingForProcessesWithoutApp) {
    std::atomic<int> built{0};
    ProcessAppCache cache([&built](qint32, const ProcessAppCache::Identity*) {
        ++built;
        return AppPtr();
    });
    EXPECT_FALSE(cache.appForPid(::getpid()));
    EXPECT_FALSE(cache.appForPid(::getpid()));
    EXPECT_EQ(built.load(), 2);
}

TEST(ProcessAppCacheTest, ExpiresEntries) {
    std::atomic<int> built{0};
    ProcessAppCache cache(
        [&built](qint32 pid, const ProcessAppCache::Identity*) {
            ++built;
            return App::initWithPid(pid);
        },
        std::chrono::seconds(0));
    cache.appForPid(::getpid());
    cache.appForPid(::getpid());
    EXPECT_EQ(built.load(), 2);
}
