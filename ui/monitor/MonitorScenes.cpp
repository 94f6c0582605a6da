// SPDX-License-Identifier: GPL-3.0-or-later
#include "resources/SceneIdentifiers.h"
#include "ui/monitor/MonitorScenes.h"

#include "platform/widgets/Storyboard.h"
#include "ui/monitor/ConnectionsViewController.h"
#include "ui/monitor/MonitorViewController.h"

void registerMonitorScenes(Storyboard& storyboard) {
    storyboard.registerScene(SceneIdentifiers::monitorViewController(),
                             [] { return std::make_shared<MonitorViewController>(); });
    storyboard.registerScene(SceneIdentifiers::connectionsViewController(),
                             [] { return std::make_shared<ConnectionsViewController>(); });
}
