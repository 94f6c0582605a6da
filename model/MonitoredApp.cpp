// SPDX-License-Identifier: GPL-3.0-or-later
#include "model/MonitoredApp.h"

#include "platform/Images.h"
#include "platform/Workspace.h"

#include <algorithm>

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

int s_connectionLimit = MonitoredApp::defaultConnectionLimit;

} // namespace

int MonitoredApp::connectionLimit() {
    return s_connectionLimit;
}

void MonitoredApp::setConnectionLimit(int limit) {
    s_connectionLimit = std::max(limit, 1);
}

MonitoredApp::MonitoredApp(AppPtr app, QList<ConnectionPtr> connections)
    : m_app(std::move(app))
    , m_icon(iconFor(*m_app))
    , m_info(infoFor(*m_app))
    , m_connections(std::move(connections)) {}

MonitoredApp::~MonitoredApp() = default;

void MonitoredApp::setConnections(QList<ConnectionPtr> connections) {
    m_droppedCount = 0;
    m_connections = std::move(connections);
    Q_EMIT connectionsReset();
}

// Appends in place rather than copying the list and writing it back: a busy application receives
// thousands of connections, and a copy per append would make the monitor quadratic in them. Callers
// that keep a copy of connections() get a snapshot; the next append detaches from it once.
//
// The oldest connection leaves from the front; QList keeps free space there, so that costs constant
// time too and the list's memory stays flat once the bound is reached.
void MonitoredApp::addConnection(ConnectionPtr connection) {
    const int excess = connectionCount() + 1 - s_connectionLimit;
    if (excess > 0) {
        m_connections.remove(0, excess);
        m_droppedCount += excess;
        Q_EMIT oldestConnectionsDropped(excess);
    }
    m_connections.append(std::move(connection));
    Q_EMIT connectionAppended(connectionCount() - 1);
}
