// SPDX-License-Identifier: GPL-3.0-or-later
#include "resources/SceneIdentifiers.h"
#include "app/MainStoryboard.h"

#include "app/ErrorViewController.h"
#include "app/HighSierraWindowController.h"
#include "app/MainWindowController.h"
#include "platform/widgets/Storyboard.h"
#include "ui/firewall/FirewallViewController.h"
#include "ui/monitor/MonitorScenes.h"

namespace {

template <typename Controller> Storyboard::Factory make() {
    return [] {
        return std::make_shared<Controller>();
    };
}

} // namespace

void registerMainStoryboard(Storyboard& storyboard) {
    storyboard.registerScene(SceneIdentifiers::mainWindowController(), make<MainWindowController>());
    storyboard.registerScene(SceneIdentifiers::errorViewController(), make<ErrorViewController>());
    storyboard.registerScene(SceneIdentifiers::highSierraWindowController(),
                             make<HighSierraWindowController>());
    storyboard.registerScene(FirewallViewController::storyboardIdentifier(), make<FirewallViewController>());
    registerMonitorScenes(storyboard);
}
