// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/CopiedFeedback.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QPointer>
#include <QTimer>
#include <QVariant>

namespace {

// The button's own title and the timer that brings it back, kept on the button itself.
constexpr const char* titleProperty = "quilvaneTitleBeforeCopied";

} // namespace

void CopiedFeedback::show(QAbstractButton* button) {
    if (!button) {
        return;
    }
    if (!button->property(titleProperty).isValid()) {
        button->setProperty(titleProperty, button->text());
    }
    button->setText(QCoreApplication::translate("CopiedFeedback", "Copied"));
    auto* restore = button->findChild<QTimer*>(QString::fromLatin1(titleProperty));
    if (!restore) {
        restore = new QTimer(button);
        restore->setObjectName(QString::fromLatin1(titleProperty));
        restore->setSingleShot(true);
        QObject::connect(restore, &QTimer::timeout, button, [button] {
            button->setText(button->property(titleProperty).toString());
            button->setProperty(titleProperty, QVariant());
        });
    }
    restore->start(shownFor);
}
