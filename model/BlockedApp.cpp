// SPDX-License-Identifier: GPL-3.0-or-later
#include "model/BlockedApp.h"

#include "platform/Images.h"
#include "platform/Workspace.h"

#include <QCache>

namespace {

// Enough for every row of a tall window several times over.
constexpr int iconCacheSize = 512;

const QIcon& processIcon() {
    static const QIcon icon = Images::imageNamed(QStringLiteral("process_icon_32x32")).value_or(QIcon());
    return icon;
}

QIcon fileIcon(const QString& path) {
    static QCache<QString, QIcon> cache(iconCacheSize); // main thread only, like the rows
    if (const QIcon* cached = cache.object(path)) {
        return *cached;
    }
    const QIcon icon = Workspace::iconForFile(path);
    cache.insert(path, new QIcon(icon));
    return icon;
}

QString detailLine(const App& app) {
    if (!app.path()) {
        return QStringLiteral("Blocking any process with this name");
    }
    return app.programFound() ? *app.path() : *app.path() + QStringLiteral(" (program not found)");
}

} // namespace

BlockedApp::BlockedApp(AppPtr app)
    : m_app(std::move(app))
    , m_info(detailLine(*m_app)) {}

QIcon BlockedApp::icon() const {
    const std::optional<QString>& path = m_app->path();
    return path ? fileIcon(*path) : processIcon();
}
