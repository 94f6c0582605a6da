// SPDX-License-Identifier: GPL-3.0-or-later
#include "filterd/control/LogThrottle.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;

TEST(LogThrottle, BoundsTheLinesAClientCanCauseAndCountsTheRest) {
    Filterd::LogThrottle throttle(3, 1s);
    const auto start = std::chrono::steady_clock::now();
    testing::internal::CaptureStderr();
    for (int i = 0; i < 100; ++i) {
        throttle.line("refused client " + std::to_string(i), start);
    }
    throttle.line("refused client later", start + 2s);
    const std::string log = testing::internal::GetCapturedStderr();

    EXPECT_NE(log.find("refused client 2\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("refused client 3"), std::string::npos) << log;
    EXPECT_NE(log.find("refused client later (97 similar lines left out before it)"), std::string::npos)
        << log;
}
