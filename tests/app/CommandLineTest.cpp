// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/CommandLine.h"

#include "tests/support/QtPrinters.h"

#include <QDir>
#include <QFileInfo>
#include <gtest/gtest.h>

namespace {

CommandLine parse(std::initializer_list<const char*> arguments) {
    QStringList list;
    for (const char* argument : arguments) {
        list.append(QString::fromUtf8(argument));
    }
    return CommandLine::parse(list);
}

TEST(CommandLineTest, AcceptsItsOptions) {
    EXPECT_TRUE(parse({"--help"}).helpRequested());
    EXPECT_TRUE(parse({"-v"}).versionRequested());
    const QString picture = QDir::temp().filePath(QStringLiteral("window.PNG"));
    const CommandLine demo = CommandLine::parse(
        {QStringLiteral("--screenshot"), picture, QStringLiteral("--quit-after"), QStringLiteral("1.5")});
    EXPECT_FALSE(demo.error());
    EXPECT_EQ(demo.screenshotPath(), picture);
    EXPECT_EQ(demo.quitAfterSeconds(), 1.5);
    const CommandLine plain = parse({});
    EXPECT_FALSE(plain.error());
    EXPECT_FALSE(plain.screenshotPath());
    EXPECT_FALSE(plain.quitAfterSeconds());
}

TEST(CommandLineTest, BadArgumentsGiveAClearError) {
    EXPECT_EQ(parse({"--frobnicate"}).error(),
              QStringLiteral("unknown option \"--frobnicate\" (try --help)"));
    EXPECT_EQ(parse({"--screenshot"}).error(), QStringLiteral("option --screenshot needs a value"));
    EXPECT_EQ(parse({"--screenshot", ""}).error(), QStringLiteral("option --screenshot needs a file name"));
    EXPECT_EQ(parse({"--screenshot", "window.jpg"}).error(),
              QStringLiteral("option --screenshot needs a file name ending in .png, not \"window.jpg\""));
    // A folder that is not there is an error, and stays not there.
    const QString missing = QDir::temp().filePath(QStringLiteral("quilvane-no-such-folder/sub"));
    const CommandLine inMissingFolder =
        CommandLine::parse({QStringLiteral("--screenshot"), missing + QStringLiteral("/window.png")});
    EXPECT_EQ(inMissingFolder.error(), QStringLiteral("option --screenshot: there is no folder ") + missing);
    EXPECT_FALSE(QFileInfo::exists(missing));
    for (const char* bad : {"soon", "-1", "nan", "inf", "1e9"}) {
        const CommandLine parsed = parse({"--quit-after", bad});
        ASSERT_TRUE(parsed.error()) << bad;
        EXPECT_TRUE(parsed.error()->contains(QString::fromUtf8(bad))) << parsed.error()->toStdString();
    }
}

} // namespace
