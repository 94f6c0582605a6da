// SPDX-License-Identifier: GPL-3.0-or-later
#include "model/ListEnforcement.h"

#include "wire/ServiceReply.h"

using Quilvane::Wire::ReplyKind;

ListEnforcement& ListEnforcement::shared() {
    static ListEnforcement* const instance = new ListEnforcement; // main thread, never destroyed
    return *instance;
}

ListEnforcement::RowState ListEnforcement::stateFor(const QString& executable) const {
    if (m_inForce.contains(executable)) {
        return {State::enforced, {}};
    }
    return m_sentState.state == State::enforced ? RowState{State::waiting, {}} : m_sentState;
}

ListEnforcement::RowState ListEnforcement::listState() const {
    return m_sentState;
}

QString ListEnforcement::describe(const RowState& state) {
    switch (state.state) {
    case State::enforced:
        return {};
    case State::waiting:
        return tr("waiting for the filter service");
    case State::notInForce:
        return tr("not in force: %1").arg(state.reason);
    }
    return {};
}

void ListEnforcement::commandSent(std::uint32_t sequence, const QStringList& names) {
    m_sentSequence = sequence;
    m_sentNames = names;
    m_sentState = {State::waiting, {}};
    Q_EMIT changed();
}

void ListEnforcement::replyReceived(const Quilvane::Wire::ServiceReply& reply) {
    switch (reply.kind) {
    case ReplyKind::hello:
        return;
    case ReplyKind::listPart:
        for (const std::string& name : reply.names) {
            m_listParts.append(QString::fromStdString(name));
        }
        return;
    case ReplyKind::listEnd: {
        const bool known = reply.code.empty();
        m_listReported = known ? std::exchange(m_listParts, {}) : QStringList();
        m_listParts.clear();
        if (known && m_sentSequence == 0) {
            // Nothing sent on this connection yet: what the service reports is what is in force.
            m_inForce = QSet<QString>(m_listReported.cbegin(), m_listReported.cend());
            Q_EMIT changed();
        }
        Q_EMIT listInForceReported(known, m_listReported);
        return;
    }
    case ReplyKind::inForce:
    case ReplyKind::refused:
    case ReplyKind::waiting:
        break;
    }
    if (reply.sequence != m_sentSequence || m_sentSequence == 0) {
        return; // an answer to a list sent before the last one
    }
    if (reply.kind == ReplyKind::inForce) {
        m_inForce = QSet<QString>(m_sentNames.cbegin(), m_sentNames.cend());
        m_sentState = {State::enforced, {}};
    } else if (reply.kind == ReplyKind::refused) {
        m_sentState = {State::notInForce, QString::fromStdString(reply.text)};
    } else {
        m_sentState = {State::waiting, {}};
    }
    Q_EMIT changed();
}

void ListEnforcement::connectionLost() {
    m_sentSequence = 0;
    if (m_sentState.state != State::enforced) {
        m_sentState = {State::waiting, {}};
    }
    m_listParts.clear();
    Q_EMIT changed();
}

void ListEnforcement::reset() {
    m_inForce.clear();
    m_sentNames.clear();
    m_sentSequence = 0;
    m_sentState = {};
    m_listReported.clear();
    m_listParts.clear();
    Q_EMIT changed();
}
