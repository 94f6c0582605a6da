// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/firewall/DefaultsSwitchBinding.h"

#include "platform/UserDefaults.h"

#include <QAbstractButton>

DefaultsSwitchBinding::DefaultsSwitchBinding(QAbstractButton* button, QString key)
    : QObject(button)
    , m_button(button)
    , m_key(std::move(key)) {
    showStoredValue();
    connect(button, &QAbstractButton::clicked, this, &DefaultsSwitchBinding::storeState);
    connect(&UserDefaults::standard(), &UserDefaults::valueChanged, this, [this](const QString& changedKey) {
        if (changedKey == m_key) {
            showStoredValue();
        }
    });
}

void DefaultsSwitchBinding::storeState(bool checked) {
    UserDefaults::standard().setBool(checked, m_key);
}

void DefaultsSwitchBinding::showStoredValue() {
    if (m_button) {
        // setChecked() emits toggled() but not clicked(), so showing the value stores nothing.
        m_button->setChecked(UserDefaults::standard().boolForKey(m_key));
    }
}
