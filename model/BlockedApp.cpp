#include "model/BlockedApp.h"

#include "platform/Images.h"
#include "platform/Workspace.h"

BlockedApp::BlockedApp(AppPtr app)
    : m_app(std::move(app)) {
    if (const std::optional<QString>& path = m_app->path()) {
        m_icon = Workspace::iconForFile(*path);
        m_info = *path;
    } else {
        m_icon = Images::imageNamed(QStringLiteral("process_icon_32x32")).value_or(QIcon());
        m_info = QStringLiteral("Blocking any process with this name");
    }
}
