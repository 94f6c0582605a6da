// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/widgets/Pasteboard.h"

#include "tests/support/QtPrinters.h"

#include <QClipboard>
#include <QGuiApplication>
#include <gtest/gtest.h>

namespace {

TEST(PasteboardTest, itemsAreKeptAndTheClipboardHoldsThemOneALine) {
    Pasteboard& pasteboard = Pasteboard::general();
    EXPECT_EQ(&pasteboard, &Pasteboard::general());

    pasteboard.clearContents();
    EXPECT_TRUE(pasteboard.writeObjects({QStringLiteral("example.org"), QStringLiteral("10.0.0.1")}));
    EXPECT_EQ(pasteboard.items(), QStringList({QStringLiteral("example.org"), QStringLiteral("10.0.0.1")}));
    EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("example.org\n10.0.0.1"));

    EXPECT_TRUE(pasteboard.writeObjects({QStringLiteral("third")}));
    EXPECT_EQ(pasteboard.items().size(), 3);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("example.org\n10.0.0.1\nthird"));

    pasteboard.clearContents();
    EXPECT_TRUE(pasteboard.items().isEmpty());
    EXPECT_TRUE(QGuiApplication::clipboard()->text().isEmpty());
}

TEST(PasteboardTest, writingNothingLeavesAClearedPasteboardEmpty) {
    Pasteboard& pasteboard = Pasteboard::general();
    QGuiApplication::clipboard()->setText(QStringLiteral("from elsewhere"));
    pasteboard.clearContents();
    EXPECT_TRUE(pasteboard.writeObjects({}));
    EXPECT_TRUE(pasteboard.items().isEmpty());
    EXPECT_TRUE(QGuiApplication::clipboard()->text().isEmpty());
}

} // namespace
