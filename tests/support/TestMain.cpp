// SPDX-License-Identifier: GPL-3.0-or-later
#include <QApplication>
#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdlib>

// Every test executable runs with a real QApplication on the offscreen platform and a fresh
// temporary home, so tests exercise the real event loop and never touch the user's files.
int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QTemporaryDir home(QDir::tempPath() + QStringLiteral("/quilvane-test-home-XXXXXX"));
    if (!home.isValid()) {
        return EXIT_FAILURE;
    }
    QDir(home.path()).mkpath(QStringLiteral(".config"));
    QDir(home.path()).mkpath(QStringLiteral(".local/share"));
    qputenv("HOME", home.path().toUtf8());
    qputenv("XDG_CONFIG_HOME", (home.path() + QStringLiteral("/.config")).toUtf8());
    qputenv("XDG_DATA_HOME", (home.path() + QStringLiteral("/.local/share")).toUtf8());
    qputenv("XDG_RUNTIME_DIR", home.path().toUtf8());

    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
