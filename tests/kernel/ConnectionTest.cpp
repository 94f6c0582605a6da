// SPDX-License-Identifier: GPL-3.0-or-later
#include "kernel/Connection.h"

#include "tests/support/QtPrinters.h"

#include <QLocale>
#include <QRegularExpression>
#include <cstdlib>
#include <ctime>
#include <gtest/gtest.h>
#include <thread>

namespace {

// Restores the default locale and TZ whatever a test changed.
class ConnectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_hadTz = qEnvironmentVariableIsSet("TZ");
        m_tz = qgetenv("TZ");
    }
    void TearDown() override {
        QLocale::setDefault(QLocale::system());
        if (m_hadTz) {
            qputenv("TZ", m_tz);
        } else {
            qunsetenv("TZ");
        }
        tzset();
    }

    static int secondsOfDay(const QString& time24) {
        const auto match = QRegularExpression(QStringLiteral("^(\\d{2}):(\\d{2}):(\\d{2})$")).match(time24);
        EXPECT_TRUE(match.hasMatch()) << time24.toStdString();
        return match.captured(1).toInt() * 3600 + match.captured(2).toInt() * 60 + match.captured(3).toInt();
    }

private:
    bool m_hadTz = false;
    QByteArray m_tz;
};

} // namespace

TEST_F(ConnectionTest, KeepsTheHostAndWritesThePortInDecimal) {
    QLocale::setDefault(QLocale(QStringLiteral("de_DE")));
    const auto https = Connection::initWithHostname(QStringLiteral("example.org"), 443);
    EXPECT_EQ(https->hostname(), QStringLiteral("example.org"));
    EXPECT_EQ(https->port(), QStringLiteral("443"));
    EXPECT_EQ(Connection::initWithHostname(QString(), 0)->port(), QStringLiteral("0"));
    EXPECT_TRUE(Connection::initWithHostname(QString(), 0)->hostname().isEmpty());
    // No grouping separator, even in a locale that groups thousands.
    EXPECT_EQ(Connection::initWithHostname(QStringLiteral("h"), 65535)->port(), QStringLiteral("65535"));
}

TEST_F(ConnectionTest, TimeUsesTheMediumTimeStyleOfTheCurrentLocale) {
    QLocale::setDefault(QLocale(QStringLiteral("en_US")));
    const QString american = Connection::initWithHostname(QStringLiteral("h"), 1)->time();
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^\\d{1,2}:\\d{2}:\\d{2}[ \\x{00A0}\\x{202F}][AP]M$"))
                    .match(american)
                    .hasMatch())
        << american.toStdString();

    // The change of locale shows in the very next connection.
    QLocale::setDefault(QLocale(QStringLiteral("de_DE")));
    const QString german = Connection::initWithHostname(QStringLiteral("h"), 1)->time();
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^\\d{2}:\\d{2}:\\d{2}$")).match(german).hasMatch())
        << german.toStdString();
}

TEST_F(ConnectionTest, TimeFollowsAChangeOfTimeZone) {
    QLocale::setDefault(QLocale(QStringLiteral("de_DE")));
    qputenv("TZ", "UTC");
    const QString utc = Connection::initWithHostname(QStringLiteral("h"), 1)->time();
    qputenv("TZ", "Asia/Kolkata");
    const QString kolkata = Connection::initWithHostname(QStringLiteral("h"), 1)->time();

    const int offset = (secondsOfDay(kolkata) - secondsOfDay(utc) + 86400) % 86400;
    // Kolkata is 5:30 ahead of UTC; the two connections may straddle a second.
    EXPECT_GE(offset, 5 * 3600 + 30 * 60);
    EXPECT_LE(offset, 5 * 3600 + 30 * 60 + 1);
}

TEST_F(ConnectionTest, RepeatedTextsShareTheirStorage) {
    const auto first = Connection::initWithHostname(QStringLiteral("shared.example"), 8443);
    const auto second = Connection::initWithHostname(QString::fromUtf8("shared.example"), 8443);
    EXPECT_NE(first.get(), second.get()); // no equality of their own: two reports, two objects
    EXPECT_EQ(first->hostname().constData(), second->hostname().constData());
    EXPECT_EQ(first->port().constData(), second->port().constData());
    if (first->time() == second->time()) {
        EXPECT_EQ(first->time().constData(), second->time().constData());
    }
}

TEST_F(ConnectionTest, CanBeBuiltOnSeveralThreadsAtOnce) {
    std::vector<std::thread> threads;
    std::atomic<int> good{0};
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&good, t] {
            for (int i = 0; i < 500; ++i) {
                const auto connection =
                    Connection::initWithHostname(QStringLiteral("host%1").arg(i % 7), t * 1000 + i);
                good += (!connection->time().isEmpty() && connection->port() == QString::number(t * 1000 + i))
                            ? 1
                            : 0;
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(good.load(), 8 * 500);
}
