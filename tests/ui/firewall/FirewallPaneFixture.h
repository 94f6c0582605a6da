// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "kernel/KextClient.h"
#include "model/Blacklist.h"
#include "model/BlacklistSubscriber.h"
#include "model/ListEnforcement.h"
#include "platform/UserDefaults.h"
#include "platform/widgets/TableView.h"
#include "tests/platform/PackageFixtures.h"
#include "tests/support/FreshApplicationState.h"
#include "tests/support/TestEnvironment.h"
#include "ui/firewall/FirewallTableCellView.h"
#include "ui/firewall/FirewallViewController.h"
#include "wire/ServiceReply.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QWidget>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <optional>

// Records what the block list tells its subscribers, and can look at the world at that moment.
class RecordingSubscriber final : public BlacklistSubscriber {
public:
    void appBlocked(const AppPtr& app) override {
        blocked.append(app->identifier());
        if (onNotified) {
            onNotified();
        }
    }
    void appUnblocked(const AppPtr& app) override {
        unblocked.append(app->identifier());
        if (onNotified) {
            onNotified();
        }
    }
    void blacklistLoaded(const QList<AppPtr>& /*apps*/) override {}

    QStringList blocked;
    QStringList unblocked;
    std::function<void()> onNotified;
};

// Every test starts from empty settings with the registered defaults of start-up, a fresh block
// list and filter client, and a control folder without a filter in it (so nothing reaches a filter
// service that may run on the machine unless a test starts its own fake one).
class FirewallPaneTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_folder.isValid());
        m_state.emplace(m_folder.path(), [](UserDefaults& defaults) {
            defaults.registerDefaults(
                {{QStringLiteral("enableFirewall"), true}, {QStringLiteral("firstRunCompleted"), false}});
        });
    }

    void TearDown() override { m_state.reset(); }

    // The pane as the storyboard makes it, with its view loaded and shown on screen.
    std::shared_ptr<FirewallViewController> loadPane() {
        auto pane = std::make_shared<FirewallViewController>();
        QWidget* view = pane->view();
        view->resize(640, 420);
        view->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(view));
        return pane;
    }

    // No service here acknowledges a list (the fake predates replies): the switch says so.
    inline static const QString kOnNotAcknowledged = QStringLiteral("ON (waiting for the filter service)");

    // For tests of what a row shows besides its state: the list shown is in force, as the service
    // would have answered.
    static void putListInForce() {
        QStringList names;
        for (const AppPtr& app : Blacklist::shared().apps()) {
            names.append(app->executable());
        }
        ListEnforcement::shared().commandSent(1, names);
        Quilvane::Wire::ServiceReply reply;
        reply.kind = Quilvane::Wire::ReplyKind::inForce;
        reply.sequence = 1;
        ListEnforcement::shared().replyReceived(reply);
    }

    static FirewallTableCellView* cellAt(FirewallViewController& pane, int row) {
        return qobject_cast<FirewallTableCellView*>(pane.tableView()->viewAtColumn(0, row, true));
    }

    static QStringList shownIdentifiers(const FirewallViewController& pane) {
        QStringList identifiers;
        for (const BlockedApp& item : pane.items()) {
            identifiers.append(item.app()->identifier());
        }
        return identifiers;
    }

    QString path(const QString& name) const { return m_folder.filePath(name); }

    // A bundle directory whose executable is a real program.
    QString makeBundle(const QString& name, const QString& executable) const {
        return PackageFixtures::makeBundle(m_folder.path(), name, executable);
    }

    // A desktop entry whose Exec= names a real program at an absolute path.
    QString makeDesktopEntry(const QString& fileName, const QString& displayName,
                             const QString& program) const {
        const QString programPath = path(QStringLiteral("bin/") + program);
        PackageFixtures::copyProgram(programPath);
        return PackageFixtures::makeDesktopEntry(path(fileName),
                                                 "Type=Application\nName=" + displayName.toUtf8() +
                                                     "\nExec=" + programPath.toUtf8() + " %U\n");
    }

    // A command-line program (a copy of a real one).
    QString makeExecutable(const QString& name) const {
        const QString programPath = path(name);
        PackageFixtures::copyProgram(programPath);
        return programPath;
    }

    QString makeTextFile(const QString& name) const {
        const QString filePath = path(name);
        PackageFixtures::writeFile(filePath, "just some notes\n");
        return filePath;
    }

    QTemporaryDir m_folder;
    std::optional<FreshApplicationState> m_state;
};
