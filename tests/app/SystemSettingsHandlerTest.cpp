// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/SystemSettingsHandler.h"

#include "app/HighSierraViewController.h"
#include "platform/Workspace.h"
#include "tests/platform/PackageFixtures.h"
#include "tests/support/QtPrinters.h"

#include <QDesktopServices>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

TEST(SystemSettingsHandlerTest, TheGuidesSettingsAddressExplainsHowToStartTheService) {
    SystemSettingsHandler handler(QStringList{});
    handler.install();
    Workspace::setUrlOpener({});

    // The address goes through the desktop's services, as any opened address does, and lands here.
    EXPECT_TRUE(Workspace::openURL(HighSierraViewController::securityPreferencesURL()));
    QMessageBox* dialog = handler.dialog();
    ASSERT_NE(dialog, nullptr);
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_FALSE(dialog->isModal()) << "the guide keeps checking behind the dialog";
    EXPECT_TRUE(dialog->informativeText().contains(
        QStringLiteral("sudo systemctl enable --now quilvane-filterd.service")));
    EXPECT_EQ(dialog->buttons().size(), 1) << "no unit installed: nothing to start";

    // A second request shows the same dialog again rather than a second one.
    EXPECT_TRUE(Workspace::openURL(HighSierraViewController::securityPreferencesURL()));
    EXPECT_EQ(handler.dialog(), dialog);
    dialog->close();
}

TEST(SystemSettingsHandlerTest, OffersToStartTheServiceOnlyWhereItCan) {
    QTemporaryDir units;
    ASSERT_TRUE(units.isValid());
    SystemSettingsHandler handler(QStringList{units.path()});
    EXPECT_FALSE(handler.canStartService()) << "no unit file";

    ASSERT_TRUE(
        PackageFixtures::writeFile(units.path() + QStringLiteral("/quilvane-filterd.service"), "[Unit]\n"));
    const bool tools = !QStandardPaths::findExecutable(QStringLiteral("systemctl")).isEmpty() &&
                       !QStandardPaths::findExecutable(QStringLiteral("pkexec")).isEmpty();
    handler.setSystemdRuntimeDirectory(units.path()); // systemd runs the machine
    EXPECT_EQ(handler.canStartService(), tools);

    // Without systemd as PID 1 (no /run/systemd/system, as sd_booted() tells it) systemctl cannot
    // start anything, whatever is installed.
    handler.setSystemdRuntimeDirectory(units.path() + QStringLiteral("/no-systemd"));
    EXPECT_FALSE(handler.canStartService());
}

} // namespace
