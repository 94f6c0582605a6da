// SPDX-License-Identifier: GPL-3.0-or-later
#include "wire/ControlPath.h"

#include <cstdlib>
#include <gtest/gtest.h>

using namespace Quilvane::Wire;

TEST(ControlPathTest, FollowsTheEnvironmentAndFallsBackToRun) {
    const char* saved = std::getenv("QUILVANE_CONTROL_DIR");
    const std::string previous = saved != nullptr ? saved : "";

    ::unsetenv("QUILVANE_CONTROL_DIR");
    EXPECT_EQ(controlSocketPath(), "/run/quilvane/com.quilvaneapp.nke.filter");
    ::setenv("QUILVANE_CONTROL_DIR", "", 1);
    EXPECT_EQ(controlDirectory(), "/run/quilvane");
    ::setenv("QUILVANE_CONTROL_DIR", "/tmp/q", 1);
    EXPECT_EQ(controlSocketPath(), "/tmp/q/com.quilvaneapp.nke.filter");
    EXPECT_EQ(controlSocketPath("other"), "/tmp/q/other");

    if (saved != nullptr) {
        ::setenv("QUILVANE_CONTROL_DIR", previous.c_str(), 1);
    } else {
        ::unsetenv("QUILVANE_CONTROL_DIR");
    }
}
