// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "model/App.h"

#include <QIcon>
#include <QList>
#include <QObject>
#include <QString>
#include <memory>

// Connection records are built by the filter client; the model only stores and hands them on, so a
// declaration is all it needs (the record's own header lives with the client).
class Connection;
using ConnectionPtr = std::shared_ptr<const Connection>;

// One row of the network monitor: an application or process together with the connections seen for
// it since the monitor was last cleared (oldest first, no de-duplication), and the icon and
// second line of text its row shows. The icon and info follow the app's path: a path-less process
// shows the "process_icon_32x32" image and "In-memory process"; an app with a path shows the
// workspace's icon of that file and the path itself. `app`, `icon` and `info` never change.
//
// Observers see every change of `connections`: one connectionAppended() per added connection (the list
// already holds it when the signal arrives) and connectionsReset() when the whole list is replaced.
// Appending costs amortised constant time however long the list grows.
//
// A window left open for days must not grow without end: the row keeps the newest connectionLimit()
// connections (10,000 unless set) and drops the oldest beyond that, telling observers with
// oldestConnectionsDropped() before the new one is appended. totalConnectionCount() keeps counting every
// connection seen, which is what the row's count shows. Main thread only.
class MonitoredApp final : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString info READ info CONSTANT)
    Q_PROPERTY(QIcon icon READ icon CONSTANT)

public:
    MonitoredApp(AppPtr app, QList<ConnectionPtr> connections);
    ~MonitoredApp() override;
    Q_DISABLE_COPY_MOVE(MonitoredApp)

    const AppPtr& app() const { return m_app; }
    // A null icon stands for "no icon" (the process image is missing from the resources).
    const QIcon& icon() const { return m_icon; }
    const QString& info() const { return m_info; }

    static constexpr int defaultConnectionLimit = 10'000;
    // The most connections a row keeps; applies to every row from the next append on.
    static int connectionLimit();
    static void setConnectionLimit(int limit);

    const QList<ConnectionPtr>& connections() const { return m_connections; }
    // The connections kept, at most connectionLimit().
    int connectionCount() const { return static_cast<int>(m_connections.size()); }
    // Every connection seen, including those dropped for the bound.
    qint64 totalConnectionCount() const { return m_droppedCount + connectionCount(); }
    void setConnections(QList<ConnectionPtr> connections);
    void addConnection(ConnectionPtr connection);

Q_SIGNALS:
    // `index` is the new connection's position, always the last one.
    void connectionAppended(int index);
    void connectionsReset();
    // The `count` oldest connections have left the front of the list.
    void oldestConnectionsDropped(int count);

private:
    AppPtr m_app;
    QIcon m_icon;
    QString m_info;
    QList<ConnectionPtr> m_connections;
    qint64 m_droppedCount = 0;
};
