// SPDX-License-Identifier: GPL-3.0-or-later
#include "filterd/names/DnsAnswer.h"

#include "filterd/names/ResolvedNames.h"

#include <gtest/gtest.h>
#include <netinet/in.h>

using Filterd::DnsAnswer;
using Bytes = std::vector<std::uint8_t>;

namespace {

void append(Bytes& out, std::initializer_list<int> bytes) {
    for (const int b : bytes) {
        out.push_back(static_cast<std::uint8_t>(b));
    }
}

void appendName(Bytes& out, const std::string& dotted) {
    std::size_t start = 0;
    while (start <= dotted.size()) {
        const std::size_t end = std::min(dotted.find('.', start), dotted.size());
        out.push_back(static_cast<std::uint8_t>(end - start));
        out.insert(out.end(), dotted.begin() + static_cast<std::ptrdiff_t>(start),
                   dotted.begin() + static_cast<std::ptrdiff_t>(end));
        start = end + 1;
    }
    out.push_back(0);
}

// A response to "www.Example.org" with an alias to cdn.example.net (a pointer-compressed name in
// the data), the alias's IPv4 address, and an address of an unrelated name a hostile server added.
Bytes aliasedAnswer() {
    Bytes m;
    append(m, {0x12, 0x34, 0x81, 0x80, 0, 1, 0, 3, 0, 0, 0, 0});
    appendName(m, "www.Example.org"); // at offset 12
    append(m, {0, 1, 0, 1});
    append(m, {0xc0, 12, 0, 5, 0, 1, 0, 0, 0, 60});
    Bytes alias;
    appendName(alias, "cdn.example.net");
    append(m, {0, static_cast<int>(alias.size())});
    const std::size_t aliasAt = m.size();
    m.insert(m.end(), alias.begin(), alias.end());
    append(m, {0xc0, static_cast<int>(aliasAt), 0, 1, 0, 1, 0, 0, 0, 60, 0, 4, 192, 0, 2, 7});
    appendName(m, "bank.example");
    append(m, {0, 1, 0, 1, 0, 0, 0, 60, 0, 4, 198, 51, 100, 1});
    return m;
}

} // namespace

TEST(DnsAnswerTest, AnAddressReachedThroughAnAliasIsNamedByTheQuestionAndOthersAreIgnored) {
    const auto answer = DnsAnswer::parse(aliasedAnswer());
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->name, "www.example.org");
    ASSERT_EQ(answer->addresses.size(), 1u);
    EXPECT_EQ(answer->addresses[0], (DnsAnswer::Address{AF_INET, {192, 0, 2, 7}}));

    Bytes stream = {0, static_cast<std::uint8_t>(aliasedAnswer().size())};
    const Bytes message = aliasedAnswer();
    stream.insert(stream.end(), message.begin(), message.end());
    EXPECT_EQ(DnsAnswer::parseStream(stream)->name, "www.example.org") << "over TCP";
}

// Whatever arrives from the network is bounded and never taken as a name that is not one.
TEST(DnsAnswerTest, DamagedOrHostileMessagesGiveNothing) {
    const Bytes good = aliasedAnswer();
    const std::size_t aliasAddressEnd = good.size() - 28; // the unrelated record's 28 bytes follow
    for (std::size_t cut = 0; cut < good.size(); ++cut) {
        // A cut message keeps the answers before the cut; never a read past its end.
        EXPECT_EQ(DnsAnswer::parse(std::span(good).first(cut)).has_value(), cut >= aliasAddressEnd)
            << "cut at " << cut;
    }
    Bytes query = good;
    query[2] = 0x01;
    EXPECT_FALSE(DnsAnswer::parse(query)) << "a question, not an answer";

    Bytes loop = good;
    loop[12] = 0xc0; // the question's name points at itself
    loop[13] = 12;
    EXPECT_FALSE(DnsAnswer::parse(loop));

    Bytes control = good;
    control[13] = '\n'; // "w\nw.example.org"
    EXPECT_FALSE(DnsAnswer::parse(control));
}

TEST(DnsAnswerTest, EachUsersNamesAreTheirsAndBounded) {
    Filterd::ResolvedNames names(2);
    DnsAnswer first{"one.example", {{AF_INET, {192, 0, 2, 1}}}};
    names.learn(1000, 10, first);
    const DnsAnswer::Address mapped{AF_INET6, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 192, 0, 2, 1}};
    EXPECT_EQ(names.nameFor(1000, 10, mapped), "one.example") << "an IPv4 address in IPv6 form";
    EXPECT_EQ(names.nameFor(1000, 11, first.addresses[0]), "") << "another process";

    for (int i = 2; i < 10; ++i) { // another user's flood
        names.learn(1001, 20, {"flood.example", {{AF_INET, {192, 0, 2, static_cast<std::uint8_t>(i)}}}});
    }
    EXPECT_EQ(names.nameFor(1000, 10, first.addresses[0]), "one.example");
    EXPECT_EQ(names.size(), 3u);
}
