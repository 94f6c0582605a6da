#include "ui/monitor/MonitorScenes.h"

#include "platform/widgets/Storyboard.h"
#include "ui/monitor/ConnectionsViewController.h"
#include "ui/monitor/MonitorViewController.h"

void registerMonitorScenes(Storyboard& storyboard) {
    storyboard.registerScene(QStringLiteral("monitorViewController"),
                             [] { return std::make_shared<MonitorViewController>(); });
    storyboard.registerScene(QStringLiteral("connectionsViewController"),
                             [] { return std::make_shared<ConnectionsViewController>(); });
}
