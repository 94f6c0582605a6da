// SPDX-License-Identifier: GPL-3.0-or-later
#include "filterd/ServiceOptions.h"

#include <cstdlib>
#include <gtest/gtest.h>

using Filterd::ServiceOptions;

namespace {

ServiceOptions parse(std::vector<const char*> args) {
    args.insert(args.begin(), "quilvane-filterd");
    return ServiceOptions::parse(static_cast<int>(args.size()), args.data());
}

} // namespace

TEST(ServiceOptions, DefaultsFollowTheEnvironment) {
    ::setenv("QUILVANE_CONTROL_DIR", "/tmp/quilvane-options-test", 1);
    const auto options = parse({});
    ::unsetenv("QUILVANE_CONTROL_DIR");
    EXPECT_EQ(options.action, ServiceOptions::Action::run);
    EXPECT_EQ(options.controlDirectory, "/tmp/quilvane-options-test");
    EXPECT_EQ(options.group, "quilvane");
    EXPECT_EQ(options.pinDirectory, "/sys/fs/bpf/quilvane");
    EXPECT_EQ(parse({}).controlDirectory, "/run/quilvane");
}

TEST(ServiceOptions, ReadsEveryOption) {
    const auto options = parse({"--simulate", "--rate", "2500", "--control-dir", "/tmp/x", "--group", "wheel",
                                "--no-pin", "--queue", "10", "--verbose"});
    ASSERT_EQ(options.action, ServiceOptions::Action::run) << options.error;
    EXPECT_TRUE(options.simulate);
    EXPECT_DOUBLE_EQ(options.rate, 2500);
    EXPECT_EQ(options.controlDirectory, "/tmp/x");
    EXPECT_EQ(options.group, "wheel");
    EXPECT_TRUE(options.pinDirectory.empty());
    EXPECT_EQ(options.queueCapacity, 10u);
    EXPECT_TRUE(options.verbose);
    EXPECT_EQ(parse({"--version"}).action, ServiceOptions::Action::version);
    EXPECT_EQ(parse({"--simulate", "--help"}).action, ServiceOptions::Action::help);
    EXPECT_EQ(parse({"--unload", "--pin-dir", "/sys/fs/bpf/t"}).pinDirectory, "/sys/fs/bpf/t");
}

TEST(ServiceOptions, RefusesBadLinesWithAReason) {
    for (const auto& args : std::vector<std::vector<const char*>>{{"--rate", "10"},
                                                                  {"--simulate", "--rate", "fast"},
                                                                  {"--simulate", "--rate", "-1"},
                                                                  {"--control-dir"},
                                                                  {"--pin-dir", "relative"},
                                                                  {"--queue", "0"},
                                                                  {"--frobnicate"}}) {
        const auto options = parse(args);
        EXPECT_EQ(options.action, ServiceOptions::Action::invalid) << args.front();
        EXPECT_FALSE(options.error.empty());
    }
}
