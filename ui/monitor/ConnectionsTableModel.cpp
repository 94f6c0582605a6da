// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/monitor/ConnectionsTableModel.h"

#include <algorithm>

namespace {

// New rows are shown at most once a display frame: every insertion makes the table lay out and
// repaint, and an application can add thousands of connections a second.
constexpr int insertInterval = 16; // milliseconds

} // namespace

ConnectionsTableModel::ConnectionsTableModel(QObject* parent)
    : QAbstractTableModel(parent) {
    m_insertTimer.setSingleShot(true);
    m_insertTimer.setInterval(insertInterval);
    connect(&m_insertTimer, &QTimer::timeout, this, &ConnectionsTableModel::insertPendingRows);
}

ConnectionsTableModel::~ConnectionsTableModel() = default;

void ConnectionsTableModel::setMonitoredApp(std::shared_ptr<MonitoredApp> monitoredApp) {
    beginResetModel();
    m_insertTimer.stop();
    if (m_monitoredApp) {
        disconnect(m_monitoredApp.get(), nullptr, this, nullptr);
    }
    m_monitoredApp = std::move(monitoredApp);
    m_rowCount = m_monitoredApp ? m_monitoredApp->connectionCount() : 0;
    if (m_monitoredApp) {
        connect(m_monitoredApp.get(), &MonitoredApp::connectionAppended, this,
                &ConnectionsTableModel::connectionAppended);
        connect(m_monitoredApp.get(), &MonitoredApp::connectionsReset, this,
                &ConnectionsTableModel::connectionsReset);
        connect(m_monitoredApp.get(), &MonitoredApp::oldestConnectionsDropped, this,
                &ConnectionsTableModel::oldestConnectionsDropped);
    }
    endResetModel();
}

void ConnectionsTableModel::connectionAppended(int) {
    if (!m_insertTimer.isActive()) {
        m_insertTimer.start();
    }
}

void ConnectionsTableModel::insertPendingRows() {
    const int count = m_monitoredApp ? m_monitoredApp->connectionCount() : 0;
    if (count <= m_rowCount) {
        return;
    }
    beginInsertRows(QModelIndex(), m_rowCount, count - 1);
    m_rowCount = count;
    endInsertRows();
}

// Rows not inserted yet were never shown, so only the shown ones among the dropped are removed.
void ConnectionsTableModel::oldestConnectionsDropped(int count) {
    const int shown = std::min(count, m_rowCount);
    if (shown <= 0) {
        return;
    }
    beginRemoveRows(QModelIndex(), 0, shown - 1);
    m_rowCount -= shown;
    endRemoveRows();
}

void ConnectionsTableModel::connectionsReset() {
    m_insertTimer.stop();
    beginResetModel();
    m_rowCount = m_monitoredApp ? m_monitoredApp->connectionCount() : 0;
    endResetModel();
}

ConnectionPtr ConnectionsTableModel::connectionAt(int row) const {
    if (!m_monitoredApp || row < 0 || row >= m_rowCount || row >= m_monitoredApp->connectionCount()) {
        return nullptr;
    }
    return m_monitoredApp->connections().at(row);
}

int ConnectionsTableModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : m_rowCount;
}

int ConnectionsTableModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(Column::count);
}

QVariant ConnectionsTableModel::data(const QModelIndex& index, int role) const {
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid)) {
        return {};
    }
    const ConnectionPtr connection = connectionAt(index.row());
    if (!connection) {
        return {};
    }
    const auto column = static_cast<Column>(index.column());
    const bool reverseName =
        column == Column::hostname && connection->hostOrigin() == Connection::HostOrigin::reverseLookup;
    if (role == HostNoteRole) {
        return reverseName ? tr("reverse") : QString();
    }
    if (role == Qt::ToolTipRole && reverseName) {
        return tr("%1 (the address's reverse name: the name the program looked up is not known)")
            .arg(connection->hostname());
    }
    if (role == Qt::DisplayRole || role == Qt::ToolTipRole) {
        switch (column) {
        case Column::time:
            return connection->time();
        case Column::hostname:
            return connection->hostname();
        case Column::port:
            return connection->port();
        case Column::count:
            break;
        }
    } else if (role == SortRole) {
        switch (column) {
        case Column::time:
            return index.row();
        case Column::hostname:
            return connection->hostname();
        case Column::port:
            return connection->port().toInt();
        case Column::count:
            break;
        }
    } else if (role == Qt::TextAlignmentRole && column == Column::port) {
        return static_cast<int>(Qt::AlignRight | Qt::AlignVCenter);
    }
    return {};
}

QVariant ConnectionsTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) {
        return QAbstractTableModel::headerData(section, orientation, role);
    }
    switch (static_cast<Column>(section)) {
    case Column::time:
        return tr("Time");
    case Column::hostname:
        return tr("Host");
    case Column::port:
        return tr("Port");
    case Column::count:
        break;
    }
    return {};
}
