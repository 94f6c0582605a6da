#include "model/MonitoredApp.h"

#include "platform/Images.h"
#include "platform/Workspace.h"

namespace {

QIcon iconFor(const App& app) {
    if (!app.path()) {
        return Images::imageNamed(QStringLiteral("process_icon_32x32")).value_or(QIcon());
    }
    return Workspace::iconForFile(*app.path());
}

QString infoFor(const App& app) {
    return app.path() ? *app.path() : QStringLiteral("In-memory process");
}

} // namespace

MonitoredApp::MonitoredApp(AppPtr app, QList<ConnectionPtr> connections)
    : m_app(std::move(app))
    , m_icon(iconFor(*m_app))
    , m_info(infoFor(*m_app))
    , m_connections(std::move(connections)) {}

MonitoredApp::~MonitoredApp() = default;

void MonitoredApp::setConnections(QList<ConnectionPtr> connections) {
    m_connections = std::move(connections);
    Q_EMIT connectionsReset();
}

// Appends in place rather than copying the list and writing it back: a busy application receives
// thousands of connections, and a copy per append would make the monitor quadratic in them. Callers
// that keep a copy of connections() get a snapshot; the next append detaches from it once.
void MonitoredApp::addConnection(ConnectionPtr connection) {
    m_connections.append(std::move(connection));
    Q_EMIT connectionAppended(connectionCount() - 1);
}
