// SPDX-License-Identifier: GPL-3.0-or-later
#include "model/FilterNames.h"

#include "tests/support/QtPrinters.h"

#include <algorithm>
#include <gtest/gtest.h>

namespace {

const QStringList safariNames{QStringLiteral("Safari"), QStringLiteral("com.apple.Safari.SearchHelper"),
                              QStringLiteral("com.apple.WebKit.Networking"),
                              QStringLiteral("com.apple.WebKit.WebContent")};

} // namespace

TEST(FilterNamesTest, SafariBringsItsThreeCompanionsInSortedOrder) {
    EXPECT_EQ(companionProcesses(QStringLiteral("Safari")).size(), 3);
    EXPECT_EQ(companionProcesses(QStringLiteral("Safari")).first(),
              QStringLiteral("com.apple.WebKit.Networking"));
    EXPECT_EQ(filterNames({QStringLiteral("Safari")}), safariNames);
    // A second entry with the same executable changes nothing.
    EXPECT_EQ(filterNames({QStringLiteral("Safari"), QStringLiteral("Safari")}), safariNames);
}

TEST(FilterNamesTest, CompanionsMatchTheWholeNameCaseSensitively) {
    EXPECT_TRUE(companionProcesses(QStringLiteral("safari")).isEmpty());
    EXPECT_TRUE(companionProcesses(QStringLiteral("Safari ")).isEmpty());
    EXPECT_TRUE(companionProcesses(QStringLiteral("Safar")).isEmpty());
    EXPECT_EQ(filterNames({QStringLiteral("safari")}), QStringList{QStringLiteral("safari")});
}

TEST(FilterNamesTest, AsciiNamesSortByBytesWithPrefixesFirst) {
    const QStringList names{QStringLiteral("firefox"), QStringLiteral("Zoom"), QStringLiteral("fire"),
                            QStringLiteral("curl"),    QStringLiteral(""),     QStringLiteral("Curl")};
    EXPECT_EQ(filterNames(names),
              (QStringList{QStringLiteral(""), QStringLiteral("Curl"), QStringLiteral("Zoom"),
                           QStringLiteral("curl"), QStringLiteral("fire"), QStringLiteral("firefox")}));
}

TEST(FilterNamesTest, OtherNamesFollowTheRootCollation) {
    // é sorts with e by collation, not after z as its code point would.
    EXPECT_EQ(filterNames({QStringLiteral("zsh"), QString::fromUtf8("\xC3\xA9lan"), QStringLiteral("dig")}),
              (QStringList{QStringLiteral("dig"), QString::fromUtf8("\xC3\xA9lan"), QStringLiteral("zsh")}));
}

TEST(FilterNamesTest, MixedNamesGiveOneOrderWhateverTheInputOrder) {
    // Byte order says Z < a, collation says a < é < Z: no order satisfies all three pairs, but the
    // result must still be the same list for every arrangement of the same names.
    QStringList names{QStringLiteral("Zed"), QStringLiteral("apt"), QString::fromUtf8("\xC3\xA9t\xC3\xA9"),
                      QStringLiteral("Bob"), QString::fromUtf8("\xC3\x85sa")};
    std::sort(names.begin(), names.end());
    const QStringList expected = filterNames(names);
    EXPECT_EQ(expected.size(), names.size());
    do {
        EXPECT_EQ(filterNames(names), expected);
    } while (std::next_permutation(names.begin(), names.end()));
}
