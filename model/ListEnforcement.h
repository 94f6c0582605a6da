// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <cstdint>

namespace Quilvane::Wire {
struct ServiceReply;
}

// What the filter service has acknowledged of the block list, so that the window never shows a
// block as enforced before the service said it is. The client tells it each list it sends (with
// that command's number on the connection) and each reply; a row asks stateFor() its program's
// name. A name is enforced once a list holding it was answered "in force", and stays so while
// later lists wait or are refused (the service keeps the last list it put in force, and pinned
// lists outlive the service). Main thread only.
class ListEnforcement final : public QObject {
    Q_OBJECT

public:
    static ListEnforcement& shared();

    enum class State { enforced, waiting, notInForce };
    struct RowState {
        State state = State::waiting;
        QString reason; // notInForce
    };

    // The state of a block of `executable` (a program name the client sends).
    RowState stateFor(const QString& executable) const;
    // The state of the list as a whole: enforced when the last list sent was put in force.
    RowState listState() const;
    // The small grey line a row or the switch shows for `state`; empty when enforced.
    static QString describe(const RowState& state);

    // The client: a list went out as command `sequence` of the connection (1 = the first), a reply
    // came, the connection ended.
    void commandSent(std::uint32_t sequence, const QStringList& names);
    void replyReceived(const Quilvane::Wire::ServiceReply& reply);
    void connectionLost();

    // The last list the service said it has in force, when one was asked for and it could tell.
    const QStringList& listReported() const { return m_listReported; }

    // Tests only: forgets everything.
    void reset();

Q_SIGNALS:
    void changed();
    // The service answered a question for the list in force: `names`, or `known` false when it
    // cannot tell (set before it started, or refused to say).
    void listInForceReported(bool known, const QStringList& names);

private:
    QSet<QString> m_inForce; // the names of the last list the service put in force
    QStringList m_sentNames; // the names of the last list sent
    std::uint32_t m_sentSequence = 0;
    RowState m_sentState;
    QStringList m_listReported;
    QStringList m_listParts;
};
