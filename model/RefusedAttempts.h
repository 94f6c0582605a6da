// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QDateTime>
#include <QHash>
#include <QObject>
#include <QString>

// How often the filter service refused an application's attempts to connect since the window
// opened, and when it last did: the proof, shown in the firewall pane, that a block is in force.
// Keyed by the application's identifier key (App::identifierKey of the refused process). Main
// thread only.
class RefusedAttempts final : public QObject {
    Q_OBJECT

public:
    struct Tally {
        quint64 count = 0;
        QDateTime last;
    };

    static RefusedAttempts& shared();

    void record(const QString& identifierKey, const QDateTime& when);
    Tally tally(const QString& identifierKey) const { return m_tallies.value(identifierKey); }

    // Tests only.
    void clearAll();

Q_SIGNALS:
    void tallyChanged(const QString& identifierKey);

private:
    QHash<QString, Tally> m_tallies;
};
