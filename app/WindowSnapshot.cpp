// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/WindowSnapshot.h"

#include <QApplication>
#include <QFileInfo>
#include <QPixmap>
#include <QWidget>

QWidget* WindowSnapshot::frontWindow() {
    if (QWidget* active = QApplication::activeWindow()) {
        return active;
    }
    QWidget* front = nullptr;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (widget->isVisible() && widget->isWindow() && widget->windowType() != Qt::Popup &&
            widget->windowType() != Qt::ToolTip) {
            front = widget;
        }
    }
    return front;
}

QString WindowSnapshot::save(QWidget* window, const QString& path) {
    if (!window) {
        return QStringLiteral("no window is open to take a picture of");
    }
    const QFileInfo target(path);
    if (!QFileInfo(target.absolutePath()).isDir()) {
        return QStringLiteral("there is no folder %1").arg(target.absolutePath());
    }
    const QPixmap picture = window->grab();
    if (picture.isNull() || !picture.save(target.absoluteFilePath(), "PNG")) {
        return QStringLiteral("cannot write the picture to %1").arg(target.absoluteFilePath());
    }
    return {};
}
