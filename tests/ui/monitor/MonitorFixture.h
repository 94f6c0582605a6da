// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "kernel/Connection.h"
#include "model/App.h"
#include "platform/widgets/Storyboard.h"
#include "ui/monitor/MonitorTableCellView.h"
#include "ui/monitor/MonitorViewController.h"

#include <QTemporaryDir>
#include <chrono>
#include <gtest/gtest.h>
#include <memory>

// A monitor pane made from a storyboard of its own, shown on the offscreen platform, subscribed to a
// fresh shared block list and a filter client that finds no filter service (its control folder is an
// empty temporary one). The pane's clock is under the test's control.
class MonitorFixture : public ::testing::Test {
protected:
    static void SetUpTestSuite();
    static void TearDownTestSuite();
    void SetUp() override;
    void TearDown() override;

    static AppPtr bareApp(const QString& name);
    static AppPtr pathApp(const QString& name, const QString& path);
    static ConnectionPtr connectionTo(const QString& host, int port = 443);

    // The cell view of a row on screen, or nullptr.
    MonitorTableCellView* cell(int row) const;
    void advanceClock(std::chrono::milliseconds by) { m_now += by; }

    std::unique_ptr<Storyboard> m_storyboard;
    std::shared_ptr<MonitorViewController> m_controller;
    std::chrono::milliseconds m_now{1'000'000};

private:
    static std::unique_ptr<QTemporaryDir> s_controlDir;
};
