// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/monitor/DurationFormatter.h"

#include "tests/support/QtPrinters.h"

#include <gtest/gtest.h>

namespace {

QString spelled(const QLocale& locale, qint64 seconds) {
    return DurationFormatter(locale).stringFromTimeInterval(seconds).value_or(QStringLiteral("<none>"));
}

} // namespace

TEST(DurationFormatterTest, NamesOnlyTheLargestNonZeroUnitInEnglish) {
    const QLocale english(QLocale::English, QLocale::UnitedStates);
    EXPECT_EQ(spelled(english, 0), QStringLiteral("0 seconds"));
    EXPECT_EQ(spelled(english, 1), QStringLiteral("1 second"));
    EXPECT_EQ(spelled(english, 59), QStringLiteral("59 seconds"));
    EXPECT_EQ(spelled(english, 60), QStringLiteral("1 minute"));
    EXPECT_EQ(spelled(english, 5 * 60), QStringLiteral("5 minutes"));
    EXPECT_EQ(spelled(english, 59 * 60 + 59), QStringLiteral("59 minutes"));
    EXPECT_EQ(spelled(english, 90 * 60), QStringLiteral("1 hour"));
    EXPECT_EQ(spelled(english, 30 * 3600), QStringLiteral("30 hours"));
    EXPECT_EQ(spelled(english, 1500 * 3600), QStringLiteral("1,500 hours"));
}

TEST(DurationFormatterTest, ExactlyAnHourIsOneHourNotSixtyMinutes) {
    EXPECT_EQ(spelled(QLocale(QLocale::English, QLocale::UnitedStates), 3600), QStringLiteral("1 hour"));
}

TEST(DurationFormatterTest, UsesTheLocalesOwnWordsAndNumbers) {
    EXPECT_EQ(spelled(QLocale(QLocale::German, QLocale::Germany), 2 * 3600), QStringLiteral("2 Stunden"));
    EXPECT_EQ(spelled(QLocale(QLocale::French, QLocale::France), 5 * 60), QStringLiteral("5 minutes"));
}

TEST(DurationFormatterTest, ClockGoingBackwardsCountsAsZero) {
    EXPECT_EQ(spelled(QLocale(QLocale::English, QLocale::UnitedStates), -30), QStringLiteral("0 seconds"));
}
