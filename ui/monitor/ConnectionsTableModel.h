// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "kernel/Connection.h"
#include "model/MonitoredApp.h"

#include <QAbstractTableModel>
#include <QTimer>
#include <memory>

// The rows of the connections popover: one per connection of a MonitoredApp, oldest first, with the
// time, host and port texts. It follows the application live: connections appended to it become rows
// inserted at the end within a display frame (all that arrived meanwhile in one insertion, since a
// busy application adds thousands a second and each insertion costs the views a layout and a
// repaint), and replacing the whole list resets the model at once. SortRole gives values
// that sort the way a person expects: time by arrival (the display text of a 12-hour clock does not
// sort), host as text, port as a number. The host's text is the bare name; HostNoteRole says how to
// read it ("reverse" for the address's reverse name rather than one a program looked up).
class ConnectionsTableModel final : public QAbstractTableModel {
    Q_OBJECT
public:
    enum class Column { time, hostname, port, count };
    static constexpr int SortRole = Qt::UserRole + 1;
    static constexpr int HostNoteRole = Qt::UserRole + 2;

    explicit ConnectionsTableModel(QObject* parent = nullptr);
    ~ConnectionsTableModel() override;

    void setMonitoredApp(std::shared_ptr<MonitoredApp> monitoredApp);
    const std::shared_ptr<MonitoredApp>& monitoredApp() const { return m_monitoredApp; }

    // The connection shown in `row`, or nullptr when out of range.
    ConnectionPtr connectionAt(int row) const;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

private:
    void connectionAppended(int index);
    void connectionsReset();
    void oldestConnectionsDropped(int count);
    void insertPendingRows();

    std::shared_ptr<MonitoredApp> m_monitoredApp;
    // Rows announced to views so far. The application's list already holds a new connection when it
    // signals, and views must still see the old count inside beginInsertRows().
    int m_rowCount = 0;
    QTimer m_insertTimer;
};
