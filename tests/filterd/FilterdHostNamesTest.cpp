// SPDX-License-Identifier: GPL-3.0-or-later
// A connection's record names the host the program looked up, learnt from the DNS answer that
// reached the program's own socket, whatever resolver library it uses.
#include "tests/filterd/PrivilegedFilterdTest.h"
#include "wire/KextCommandFrame.h"
#include "wire/RecordExtension.h"
#include "wire/ServiceReply.h"

using namespace FilterdTestSupport;
using namespace Quilvane::Wire;

namespace {

// The record is zero-filled past its end, so its length is the one its extension accepts.
RecordIdentity identityOf(const RecordBuffer& record) {
    for (std::size_t length = kRecordExtensionOffset; length <= record.size(); ++length) {
        if (auto identity = recordExtension(record, length)) {
            return *identity;
        }
    }
    return {};
}

} // namespace

class FilterdHostNamesTest : public PrivilegedFilterdTest {
protected:
    void SetUp() override {
        PrivilegedFilterdTest::SetUp();
        if (IsSkipped()) {
            return;
        }
        m_service = startService();
        ASSERT_TRUE(m_service);
        m_client = ControlClient::connect(socketPath());
        ASSERT_TRUE(m_client);
        const std::uint32_t version = kRecordExtensionHostVersion;
        ASSERT_TRUE(
            m_client->sendRaw(frameCommand(kSysprotoControl, kHelloOption, &version, sizeof version)));
    }

    // The host named by the outgoing record of `pid` to `port`; empty when the record names none.
    std::optional<std::string> hostOfConnection(pid_t pid, std::uint16_t port) {
        const auto record = m_client->waitForRecord([&](const RecordBuffer& r) {
            return recordCommand(r) == 1 && recordPid(r) == pid && recordPort(r) == port;
        });
        if (!record) {
            return std::nullopt;
        }
        return identityOf(*record).host;
    }

    std::optional<ControlClient> m_client;
};

TEST_F(FilterdHostNamesTest, AGlibcProgramsRecordNamesTheHostItLookedUp) {
    const ProbeResult probe = runProgram({dnsNamespaceBinary(), "api.example.org=127.0.0.9", "--",
                                          m_freeProbe, "resolve", "api.example.org", "9"});
    ASSERT_EQ(probe.exitCode, 0) << "the name resolved through the test's server";
    EXPECT_EQ(hostOfConnection(probe.pid, 9), "api.example.org");
}

TEST_F(FilterdHostNamesTest, TwoProgramsThatGotOneAddressForDifferentNamesKeepTheirOwn) {
    const ProbeResult first = runProgram(
        {dnsNamespaceBinary(), "one.example=127.0.0.10", "--", m_freeProbe, "resolve", "one.example", "10"});
    const ProbeResult second = runProgram(
        {dnsNamespaceBinary(), "two.example=127.0.0.10", "--", m_freeProbe, "resolve", "two.example", "10"});
    ASSERT_EQ(first.exitCode, 0);
    ASSERT_EQ(second.exitCode, 0);
    EXPECT_EQ(hostOfConnection(first.pid, 10), "one.example");
    EXPECT_EQ(hostOfConnection(second.pid, 10), "two.example");
}

TEST_F(FilterdHostNamesTest, APythonProgramsRecordNamesTheHostToo) {
    if (::access("/usr/bin/python3", X_OK) != 0) {
        GTEST_SKIP() << "no /usr/bin/python3";
    }
    const ProbeResult probe =
        runProgram({dnsNamespaceBinary(), "py.example.net=127.0.0.11", "--", "/usr/bin/python3", "-c",
                    "import os, socket\nprint(os.getpid(), flush=True)\ns = socket.socket()\n"
                    "s.connect_ex(('py.example.net', 11))\n"});
    ASSERT_EQ(probe.exitCode, 0);
    EXPECT_EQ(hostOfConnection(probe.pid, 11), "py.example.net");
}

// A client that never asked for names gets the records it always got, identity and all.
TEST_F(FilterdHostNamesTest, AClientOfTheFirstVersionGetsItsRecordsWhole) {
    auto plain = ControlClient::connect(socketPath());
    ASSERT_TRUE(plain);
    const ProbeResult probe = runProgram(
        {dnsNamespaceBinary(), "old.example=127.0.0.12", "--", m_freeProbe, "resolve", "old.example", "12"});
    ASSERT_EQ(probe.exitCode, 0);
    const auto record = plain->waitForRecord([&](const RecordBuffer& r) {
        return recordCommand(r) == 1 && recordPid(r) == probe.pid && recordPort(r) == 12;
    });
    ASSERT_TRUE(record);
    EXPECT_NE(identityOf(*record).executable.find(m_freeName), std::string::npos);
    EXPECT_EQ(identityOf(*record).host, "");
    EXPECT_EQ(hostOfConnection(probe.pid, 12), "old.example");
}
