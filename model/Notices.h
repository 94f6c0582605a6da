// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <utility>
#include <vector>

// What the window must tell the user about the state of the firewall that no pane shows: the filter
// service gone away, a damaged settings file restored, a block list too long to enforce. Each notice
// has a key of its own so that whoever raised it can replace or withdraw it; the window shows them
// in the order they were first raised. Main thread only.
class Notices final : public QObject {
    Q_OBJECT

public:
    static Notices& shared();

    // Shows `text` under `key`, replacing the text of a notice with that key.
    void set(const QString& key, const QString& text);
    void clear(const QString& key);

    bool contains(const QString& key) const;
    QString text(const QString& key) const;
    // The texts of every notice, in the order their keys were first raised, and their keys.
    QStringList texts() const;
    QStringList keys() const;

    // Tests only: drops every notice.
    void clearAll();

Q_SIGNALS:
    void changed();

private:
    std::vector<std::pair<QString, QString>> m_notices;
};
