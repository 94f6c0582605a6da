// SPDX-License-Identifier: GPL-3.0-or-later
// quilvane-filterd --check, as a configuration repository's CI runs it: no root, no service.
#include "tests/filterd/FilterdTestSupport.h"

#include <QTemporaryDir>
#include <array>
#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/wait.h>

namespace {

struct Outcome {
    int exitCode = -1;
    std::string output;
};

Outcome check(const std::vector<std::string>& files) {
    std::string command = FilterdTestSupport::serviceBinary() + " --check";
    for (const std::string& file : files) {
        command += " '" + file + "'";
    }
    command += " 2>&1";
    Outcome outcome;
    FILE* pipe = ::popen(command.c_str(), "r");
    std::array<char, 4096> buffer{};
    while (std::fgets(buffer.data(), buffer.size(), pipe) != nullptr) {
        outcome.output += buffer.data();
    }
    const int status = ::pclose(pipe);
    outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return outcome;
}

} // namespace

TEST(ListFileCheck, GoodFilesPassAndEachBadLineIsNamed) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string good = dir.filePath(QStringLiteral("good.list")).toStdString();
    const std::string bad = dir.filePath(QStringLiteral("bad.list")).toStdString();
    std::ofstream(good) << "# the lab's list\n\nfirefox\n  /usr/bin/curl\t\n/opt/Büro/tool\n";
    std::ofstream(bad) << "ok\n/usr/bin/\n..\nbad\x01name\n" << std::string(256, 'x') << "\n\xff\xfe\n";

    const Outcome passed = check({good});
    EXPECT_EQ(passed.exitCode, 0);
    EXPECT_EQ(passed.output, "");

    const Outcome failed = check({good, bad, dir.filePath(QStringLiteral("missing.list")).toStdString()});
    EXPECT_EQ(failed.exitCode, 1);
    EXPECT_EQ(failed.output, bad + ":2: ends in a slash: no program name\n" + bad +
                                 ":3: \"..\" is no program name\n" + bad + ":4: holds a control character\n" +
                                 bad + ":5: a program name of 256 bytes is longer than 255\n" + bad +
                                 ":6: is not UTF-8\n" +
                                 dir.filePath(QStringLiteral("missing.list")).toStdString() +
                                 ":0: cannot be read: No such file or directory\n");
}
