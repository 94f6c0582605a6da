// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/SingleInstance.h"

#include "tests/support/TestEnvironment.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

// A session bus of the test's own, and the real program started on it in a home of its own.
class SingleInstanceTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_home.isValid());
        m_bus.setProgram(QStringLiteral("dbus-daemon"));
        m_bus.setArguments(
            {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address")});
        m_bus.start();
        if (!m_bus.waitForStarted()) {
            GTEST_SKIP() << "dbus-daemon is not installed";
        }
        ASSERT_TRUE(m_bus.waitForReadyRead(5000));
        m_address = QString::fromUtf8(m_bus.readLine().trimmed());
        ASSERT_FALSE(m_address.isEmpty());
    }

    void TearDown() override {
        for (QProcess* process : {&m_first, &m_second, &m_bus}) {
            if (process->state() != QProcess::NotRunning) {
                process->kill();
                process->waitForFinished();
            }
        }
    }

    QProcessEnvironment environment(const QString& busAddress) const {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("HOME"), m_home.path());
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), m_home.path() + QStringLiteral("/.config"));
        environment.insert(QStringLiteral("XDG_DATA_HOME"), m_home.path() + QStringLiteral("/.local/share"));
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_home.path());
        environment.insert(QStringLiteral("QUILVANE_CONTROL_DIR"),
                           m_home.path() + QStringLiteral("/no-filter"));
        environment.insert(QStringLiteral("QUILVANE_FILTER_NEEDS_APPROVAL"), QStringLiteral("0"));
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), busAddress);
        return environment;
    }

    void start(QProcess& process, const QString& busAddress) {
        process.setProcessEnvironment(environment(busAddress));
        process.start(QStringLiteral(QUILVANE_APP_BINARY), {});
        ASSERT_TRUE(process.waitForStarted());
    }

    QTemporaryDir m_home;
    QProcess m_bus;
    QString m_address;
    QProcess m_first;
    QProcess m_second;
};

TEST_F(SingleInstanceTest, ASecondStartHandsOverToTheFirstAndExits) {
    QDBusConnection bus = QDBusConnection::connectToBus(m_address, QStringLiteral("single-instance-test"));
    ASSERT_TRUE(bus.isConnected());
    const QString name = QString::fromLatin1(SingleInstance::kServiceName);
    ASSERT_NO_FATAL_FAILURE(start(m_first, m_address));
    ASSERT_TRUE(
        TestEnvironment::waitUntil([&] { return bus.interface()->isServiceRegistered(name).value(); }, 20s));

    ASSERT_NO_FATAL_FAILURE(start(m_second, m_address));
    ASSERT_TRUE(m_second.waitForFinished(20000));
    EXPECT_EQ(m_second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(m_second.exitCode(), 0);
    EXPECT_TRUE(m_second.readAllStandardError().contains("brought to the front"));
    EXPECT_EQ(m_first.state(), QProcess::Running);
    QDBusConnection::disconnectFromBus(QStringLiteral("single-instance-test"));
}

TEST_F(SingleInstanceTest, TheRunningOneIsAskedToComeToTheFront) {
    qputenv("DBUS_SESSION_BUS_ADDRESS", m_address.toUtf8());
    SingleInstance running;
    ASSERT_EQ(running.claim(), SingleInstance::Claim::first);
    QSignalSpy activations(&running, &SingleInstance::activationRequested);

    ASSERT_NO_FATAL_FAILURE(start(m_second, m_address));
    ASSERT_TRUE(TestEnvironment::waitUntil([&] { return m_second.state() == QProcess::NotRunning; }, 20s));
    EXPECT_EQ(m_second.exitCode(), 0);
    EXPECT_EQ(activations.count(), 1);
}

TEST_F(SingleInstanceTest, WithoutASessionBusALockKeepsToOneWindow) {
    const QString noBus = QStringLiteral("unix:path=") + m_home.path() + QStringLiteral("/no-bus");
    ASSERT_NO_FATAL_FAILURE(start(m_first, noBus));
    ASSERT_TRUE(TestEnvironment::waitUntil(
        [&] { return QFile::exists(m_home.path() + QStringLiteral("/quilvane.lock")); }, 20s));

    ASSERT_NO_FATAL_FAILURE(start(m_second, noBus));
    ASSERT_TRUE(m_second.waitForFinished(20000));
    EXPECT_EQ(m_second.exitCode(), 0);
    EXPECT_TRUE(m_second.readAllStandardError().contains("already running"));
    EXPECT_EQ(m_first.state(), QProcess::Running);
}

} // namespace
