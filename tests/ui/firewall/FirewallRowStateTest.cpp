// SPDX-License-Identifier: GPL-3.0-or-later
// A row says whether the filter service has put its block in force: "waiting for the filter
// service" while the service is away, nothing once the real service answers that it is in force.
#include "tests/ui/firewall/FirewallPaneFixture.h"
#include "wire/ControlPath.h"

#include <QLabel>
#include <QProcess>

using namespace std::chrono_literals;

TEST_F(FirewallPaneTest, ARowWaitsWhileTheServiceIsAwayAndIsEnforcedOnceItAnswers) {
    auto pane = loadPane();
    Blacklist::shared().block(App::initWithIdentifier(QStringLiteral("quilvane-sim-mail")));
    KextClient::shared().updateBlacklist(&Blacklist::shared()); // the service is away: nothing goes out
    ASSERT_EQ(pane->items().size(), 1);
    const auto rowLine = [&] {
        return cellAt(*pane, 0)->refusedTextField()->text();
    };
    EXPECT_EQ(rowLine(), QStringLiteral("waiting for the filter service"));
    EXPECT_TRUE(cellAt(*pane, 0)->refusedTextField()->isVisible());

    QProcess service;
    service.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    service.start(QStringLiteral(QUILVANE_FILTERD_BINARY),
                  {QStringLiteral("--simulate"), QStringLiteral("--control-dir"),
                   QString::fromStdString(Quilvane::Wire::controlDirectory())});
    ASSERT_TRUE(service.waitForStarted());
    ASSERT_TRUE(TestEnvironment::waitUntil([] { return KextClient::shared().connectIfNeeded(); }, 10s));
    KextClient::shared().updateBlacklist(&Blacklist::shared());
    EXPECT_TRUE(TestEnvironment::waitUntil([&] { return rowLine().isEmpty(); }, 10s))
        << rowLine().toStdString();

    service.terminate();
    service.waitForFinished(5000);
}
