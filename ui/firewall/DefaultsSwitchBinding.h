// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

class QAbstractButton;

// Ties a checkable button to a boolean key of the standard user defaults, the way a value binding
// would: the button shows the stored value and follows later changes of it, and a click stores the
// button's new state. The binding connects to the button's clicked() signal when it is made, so
// anything connected afterwards (the button's action) runs with the new value already stored.
// Owned by the button; setting the button's state in code stores nothing.
class DefaultsSwitchBinding final : public QObject {
    Q_OBJECT
public:
    DefaultsSwitchBinding(QAbstractButton* button, QString key);

    const QString& key() const { return m_key; }

private:
    void storeState(bool checked);
    void showStoredValue();

    QPointer<QAbstractButton> m_button;
    QString m_key;
};
