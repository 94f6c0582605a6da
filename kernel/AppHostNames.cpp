// SPDX-License-Identifier: GPL-3.0-or-later
#include "kernel/AppHostNames.h"

#include <QMutexLocker>

AppHostNames::AppHostNames(qsizetype capacity)
    : m_capacity(capacity) {}

QByteArray AppHostNames::keyOf(const QString& application, const QByteArray& address) {
    // An identifier never holds a NUL, so the pair cannot be confused with another.
    return application.toUtf8() + '\0' + address;
}

void AppHostNames::remember(const QString& application, const QByteArray& address, const QString& name) {
    QByteArray key = keyOf(application, address);
    QMutexLocker lock(&m_mutex);
    if (auto found = m_names.find(key); found != m_names.end()) {
        *found = name;
        return;
    }
    while (std::ssize(m_order) >= m_capacity && !m_order.empty()) {
        m_names.remove(m_order.front());
        m_order.pop_front();
    }
    m_names.insert(key, name);
    m_order.push_back(std::move(key));
}

std::optional<QString> AppHostNames::find(const QString& application, const QByteArray& address) const {
    const QByteArray key = keyOf(application, address);
    QMutexLocker lock(&m_mutex);
    if (const auto found = m_names.constFind(key); found != m_names.cend()) {
        return *found;
    }
    return std::nullopt;
}

void AppHostNames::clear() {
    QMutexLocker lock(&m_mutex);
    m_names.clear();
    m_order.clear();
}
