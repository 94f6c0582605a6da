// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QList>
#include <QTemporaryDir>
#include <QUrl>
#include <QWidget>
#include <gtest/gtest.h>
#include <memory>

class AppDelegate;
class Storyboard;

// A clean application state for every shell test: fresh user defaults and block list, no shared
// filter client and no filter service, the "Main" scenes in a storyboard of the tests' own, an installed
// application delegate, and the workspace's URL opener replaced by a recorder. Every window is closed and
// deleted afterwards.
class ShellFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Starts the launch as the application does and waits until its decision has been taken.
    void launchApp();

    // The visible top-level windows.
    static QList<QWidget*> visibleWindows();

    // Lives as long as the process: the delegates of earlier tests stay subscribed to retired block
    // lists and keep a reference to it.
    static Storyboard& storyboard();

    // An empty control folder: no filter service unless a test starts one.
    QTemporaryDir m_noFilter;
    QByteArray m_previousControlDir;
    std::shared_ptr<AppDelegate> m_delegate;
    std::shared_ptr<QList<QUrl>> m_openedURLs = std::make_shared<QList<QUrl>>();
};
