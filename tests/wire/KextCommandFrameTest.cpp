// SPDX-License-Identifier: GPL-3.0-or-later
#include "wire/KextCommandFrame.h"

#include <cstring>
#include <gtest/gtest.h>

using namespace Quilvane::Wire;

namespace {

std::vector<std::uint8_t> bytes(std::initializer_list<int> values) {
    std::vector<std::uint8_t> out;
    for (const int value : values) {
        out.push_back(static_cast<std::uint8_t>(value));
    }
    return out;
}

} // namespace

TEST(KextCommandFrameTest, FramesLevelOptionAndPayload) {
    const char payload[] = {'a', 0, 'b', 0};
    const auto message = frameCommand(kSysprotoControl, kBlockListOption, payload, sizeof payload);
    EXPECT_EQ(message, bytes({2, 0, 0, 0, 0, 0, 0, 0, 'a', 0, 'b', 0}));

    const auto empty = frameCommand(kSysprotoControl, 7, nullptr, 0);
    EXPECT_EQ(empty, bytes({2, 0, 0, 0, 7, 0, 0, 0}));
    // A length without data still frames no payload.
    EXPECT_EQ(frameCommand(kSysprotoControl, 0, nullptr, 12).size(), kCommandHeaderSize);
}

TEST(KextCommandFrameTest, ParsesWhatItFramesAndRefusesShortMessages) {
    const char payload[] = {'x', 0};
    const auto message = frameCommand(kSysprotoControl, -3, payload, sizeof payload);
    const auto parsed = parseCommand(message);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->level, 2);
    EXPECT_EQ(parsed->option, -3);
    EXPECT_EQ(std::vector<std::uint8_t>(parsed->payload.begin(), parsed->payload.end()), bytes({'x', 0}));

    const auto header = parseCommand(frameCommand(kSysprotoControl, 0, nullptr, 0));
    ASSERT_TRUE(header);
    EXPECT_TRUE(header->payload.empty());

    const auto shortMessage = bytes({2, 0, 0, 0, 0, 0, 0});
    EXPECT_FALSE(parseCommand(shortMessage));
    EXPECT_FALSE(parseCommand({}));
}

TEST(KextCommandFrameTest, EncodesEveryNameWithOneTerminator) {
    EXPECT_FALSE(encodeProcessNames({}));
    EXPECT_EQ(encodeProcessNames({"a", "b"}), bytes({0x61, 0, 0x62, 0}));
    EXPECT_EQ(encodeProcessNames({""}), bytes({0}));
    EXPECT_EQ(encodeProcessNames({"", "a", ""}), bytes({0, 'a', 0, 0}));
    EXPECT_EQ(encodeProcessNames({"\xC3\xA9"}), bytes({0xC3, 0xA9, 0})); // é passes through as UTF-8
    // A name holding a terminator would split into two names on the other side.
    EXPECT_FALSE(encodeProcessNames({"a", std::string("b\0c", 3)}));
}

TEST(KextCommandFrameTest, DecodesWhatItEncodes) {
    const std::vector<std::string> names{"Safari", "", "com.apple.WebKit.Networking", "\xE2\x82\xAC"};
    const auto payload = encodeProcessNames(names);
    ASSERT_TRUE(payload);
    EXPECT_EQ(decodeProcessNames(*payload), names);

    EXPECT_EQ(decodeProcessNames({}), std::vector<std::string>{});
    const auto unterminated = bytes({'a', 0, 'b'});
    EXPECT_FALSE(decodeProcessNames(unterminated));
}
