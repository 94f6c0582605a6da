// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/widgets/Pasteboard.h"

#include <QClipboard>
#include <QGuiApplication>

Pasteboard& Pasteboard::general() {
    static Pasteboard pasteboard;
    return pasteboard;
}

void Pasteboard::clearContents() {
    m_items.clear();
    if (QClipboard* clipboard = QGuiApplication::clipboard()) {
        clipboard->clear();
    }
}

bool Pasteboard::writeObjects(const QStringList& items) {
    QClipboard* clipboard = QGuiApplication::clipboard();
    if (!clipboard) {
        return false;
    }
    if (items.isEmpty()) {
        return true;
    }
    m_items.append(items);
    const QString text = m_items.join(QLatin1Char('\n'));
    clipboard->setText(text);
    return clipboard->text() == text;
}
