// SPDX-License-Identifier: GPL-3.0-or-later
#include "filterd/control/BlockListCommand.h"

#include "wire/KextCommandFrame.h"

#include <gtest/gtest.h>

using Filterd::BlockListCommand;
using namespace Quilvane::Wire;

namespace {

std::vector<std::uint8_t> command(std::int32_t level, std::int32_t option, const std::string& payload) {
    return frameCommand(level, option, payload.data(), payload.size());
}

BlockListCommand parse(const std::vector<std::uint8_t>& message) {
    return BlockListCommand::parse(message, message.size());
}

} // namespace

TEST(BlockListCommand, GivesUniqueSortedNamesWithoutEmptyOnes) {
    const auto parsed =
        parse(command(2, 0, std::string("zsh\0curl\0\0curl\0com.apple.Safari.SearchHelper\0", 45)));
    ASSERT_TRUE(parsed.valid()) << parsed.error();
    EXPECT_EQ(parsed.names(), (std::vector<std::string>{"zsh", "curl", "com.apple.Safari.SearchHelper"}));
}

TEST(BlockListCommand, EmptyPayloadAndLoneNulBlockNothing) {
    const auto empty = parse(command(2, 0, ""));
    ASSERT_TRUE(empty.valid());
    EXPECT_TRUE(empty.names().empty());
    const auto loneNul = parse(command(2, 0, std::string(1, '\0')));
    ASSERT_TRUE(loneNul.valid());
    EXPECT_TRUE(loneNul.names().empty());
}

TEST(BlockListCommand, RefusesWrongHeaderAndTruncatedNames) {
    EXPECT_FALSE(parse(command(3, 0, std::string("curl\0", 5))).valid());
    EXPECT_FALSE(parse(command(2, 1, std::string("curl\0", 5))).valid());
    EXPECT_FALSE(parse({2, 0, 0, 0}).valid());
    const auto noNul = parse(command(2, 0, "curl"));
    EXPECT_FALSE(noNul.valid());
    EXPECT_NE(noNul.error().find("NUL"), std::string::npos);
    EXPECT_TRUE(noNul.names().empty());
}

TEST(BlockListCommand, NameLengthStopsAtTheKernelKey) {
    const std::string longest(BlockListCommand::kMaxNameLength, 'a');
    const auto accepted = parse(command(2, 0, longest + '\0'));
    ASSERT_TRUE(accepted.valid()) << accepted.error();
    EXPECT_EQ(accepted.names().front(), longest);
    EXPECT_FALSE(parse(command(2, 0, std::string("ok\0", 3) + longest + "b" + '\0')).valid());
}

TEST(BlockListCommand, RefusesPayloadOverOneMebibyte) {
    // Exactly the limit is fine; a message whose true length was larger than the buffer is not.
    std::string payload(kMaxCommandPayload, 'x');
    for (std::size_t i = 200; i < payload.size(); i += 201) {
        payload[i] = '\0';
    }
    payload.back() = '\0';
    const auto message = command(2, 0, payload);
    EXPECT_TRUE(BlockListCommand::parse(message, message.size()).valid());

    auto tooLong = message;
    tooLong.push_back(0);
    const auto refused = BlockListCommand::parse(tooLong, tooLong.size());
    EXPECT_FALSE(refused.valid());
    EXPECT_FALSE(BlockListCommand::parse(message, message.size() + 100).valid()) << "truncated by recv";
}

TEST(BlockListCommand, RefusesMoreNamesThanTheMapHolds) {
    std::string payload;
    for (std::size_t i = 0; i <= BlockListCommand::kMaxNames; ++i) {
        payload += "n" + std::to_string(i) + '\0';
    }
    const auto refused = parse(command(2, 0, payload));
    EXPECT_FALSE(refused.valid());
    EXPECT_NE(refused.error().find("limit"), std::string::npos);
}
