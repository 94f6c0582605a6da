// SPDX-License-Identifier: GPL-3.0-or-later
// The service answers each command of a client that said hello: in force (with its names),
// refused (with a reason), or waiting while a big list is built; it tells a client the list in
// force; and a client that never said hello hears nothing new.
#include "tests/filterd/PrivilegedFilterdTest.h"
#include "wire/KextCommandFrame.h"
#include "wire/ServiceLimits.h"
#include "wire/ServiceReply.h"

using namespace FilterdTestSupport;
using namespace Quilvane::Wire;
using namespace std::chrono_literals;

namespace {

std::optional<ServiceReply> nextReply(ControlClient& client, std::chrono::milliseconds timeout = 20000ms) {
    const auto message = client.waitForRecord(
        [](const RecordBuffer& r) { return recordCommand(r) == kReplyCommand; }, timeout);
    return message ? decodeReply(*message) : std::nullopt;
}

bool sayHello(ControlClient& client) {
    if (!client.sendRaw(frameCommand(kSysprotoControl, kHelloOption, nullptr, 0))) {
        return false;
    }
    const auto reply = nextReply(client);
    return reply && reply->kind == ReplyKind::hello;
}

// The final answer to command `sequence`, after any "waiting".
std::vector<ServiceReply> answersTo(ControlClient& client, std::uint32_t sequence) {
    std::vector<ServiceReply> answers;
    while (auto reply = nextReply(client)) {
        if (reply->sequence != sequence) {
            continue;
        }
        answers.push_back(*reply);
        if (reply->kind != ReplyKind::waiting) {
            break;
        }
    }
    return answers;
}

} // namespace

class FilterdRepliesTest : public PrivilegedFilterdTest {};

TEST_F(FilterdRepliesTest, EachCommandIsAnsweredInForceRefusedOrWaiting) {
    m_service = startService();
    ASSERT_TRUE(m_service);
    auto client = ControlClient::connect(socketPath());
    ASSERT_TRUE(client && sayHello(*client));

    ASSERT_TRUE(client->sendNames({m_blockedName}));
    auto answers = answersTo(*client, 1);
    ASSERT_FALSE(answers.empty()) << m_service->log();
    EXPECT_EQ(answers.back().kind, ReplyKind::inForce);
    EXPECT_EQ(answers.back().count, 1u);
    EXPECT_EQ(probe(m_blockedProbe, "connect4", 9), 3) << "in force means enforced";

    ASSERT_TRUE(client->sendNames({std::string(kMaxNameLength + 1, 'x')}));
    answers = answersTo(*client, 2);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].kind, ReplyKind::refused);
    EXPECT_EQ(answers[0].code, "invalid");
    EXPECT_NE(answers[0].text.find("longer than 255"), std::string::npos) << answers[0].text;

    std::vector<std::string> names;
    for (std::size_t i = 0; i < kMaxBlockListNames; ++i) {
        names.push_back(std::to_string(i) + "-listed");
    }
    ASSERT_TRUE(client->sendNames(names));
    answers = answersTo(*client, 3);
    ASSERT_EQ(answers.size(), 2u) << "a big list waits on the worker, then takes force";
    EXPECT_EQ(answers[0].kind, ReplyKind::waiting);
    EXPECT_EQ(answers[1].kind, ReplyKind::inForce);
    EXPECT_EQ(answers[1].count, kMaxBlockListNames);
}

TEST_F(FilterdRepliesTest, TheListInForceIsToldByName) {
    m_service = startService();
    ASSERT_TRUE(m_service);
    auto client = ControlClient::connect(socketPath());
    ASSERT_TRUE(client && sayHello(*client));

    const auto ask = [&] {
        client->sendRaw(frameCommand(kSysprotoControl, kListInForceOption, nullptr, 0));
        std::vector<std::string> told;
        while (auto reply = nextReply(*client)) {
            if (reply->kind == ReplyKind::listPart) {
                told.insert(told.end(), reply->names.begin(), reply->names.end());
            } else if (reply->kind == ReplyKind::listEnd) {
                return std::make_pair(reply->code, told);
            }
        }
        return std::make_pair(std::string("no answer"), told);
    };
    EXPECT_EQ(ask().first, "unknown") << "nothing set since the service started";

    std::vector<std::string> names = {m_blockedName};
    for (int i = 0; i < 100; ++i) {
        names.push_back(std::string(40, 'a') + std::to_string(i)); // several parts
    }
    ASSERT_TRUE(client->sendNames(names));
    ASSERT_EQ(answersTo(*client, 1).back().kind, ReplyKind::inForce);
    const auto [code, told] = ask();
    EXPECT_EQ(code, "");
    EXPECT_EQ(told, names);
}

TEST_F(FilterdRepliesTest, AClientThatNeverSaidHelloHearsNoReply) {
    m_service = startService();
    ASSERT_TRUE(m_service);
    auto client = ControlClient::connect(socketPath());
    ASSERT_TRUE(client);
    ASSERT_TRUE(setList(*client, {m_blockedName}));
    ASSERT_TRUE(client->sendNames({std::string(kMaxNameLength + 1, 'x')}));
    EXPECT_FALSE(client->waitForRecord([](const RecordBuffer& r) { return recordCommand(r) > 2; }, 500ms));
}
