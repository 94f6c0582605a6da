// SPDX-License-Identifier: GPL-3.0-or-later
#include "model/Notices.h"

#include <algorithm>

Notices& Notices::shared() {
    static auto* notices = new Notices; // never destroyed: windows may still read it at exit
    return *notices;
}

void Notices::set(const QString& key, const QString& text) {
    const auto found =
        std::find_if(m_notices.begin(), m_notices.end(), [&](const auto& n) { return n.first == key; });
    if (found == m_notices.end()) {
        m_notices.emplace_back(key, text);
    } else if (found->second != text) {
        found->second = text;
    } else {
        return;
    }
    Q_EMIT changed();
}

void Notices::clear(const QString& key) {
    const auto removed =
        std::remove_if(m_notices.begin(), m_notices.end(), [&](const auto& n) { return n.first == key; });
    if (removed == m_notices.end()) {
        return;
    }
    m_notices.erase(removed, m_notices.end());
    Q_EMIT changed();
}

bool Notices::contains(const QString& key) const {
    return std::any_of(m_notices.begin(), m_notices.end(), [&](const auto& n) { return n.first == key; });
}

QString Notices::text(const QString& key) const {
    const auto found =
        std::find_if(m_notices.begin(), m_notices.end(), [&](const auto& n) { return n.first == key; });
    return found == m_notices.end() ? QString() : found->second;
}

QStringList Notices::texts() const {
    QStringList texts;
    for (const auto& notice : m_notices) {
        texts.append(notice.second);
    }
    return texts;
}

QStringList Notices::keys() const {
    QStringList keys;
    for (const auto& notice : m_notices) {
        keys.append(notice.first);
    }
    return keys;
}

void Notices::clearAll() {
    if (m_notices.empty()) {
        return;
    }
    m_notices.clear();
    Q_EMIT changed();
}
