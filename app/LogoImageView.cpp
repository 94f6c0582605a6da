// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/LogoImageView.h"

#include <QMouseEvent>

LogoImageView::LogoImageView(QWidget* parent)
    : QLabel(parent) {}

// An ignored press travels up the parent chain to the window's own background handling, which
// starts the move (mouseDownCanMoveWindow() is always true for the logo).
void LogoImageView::mousePressEvent(QMouseEvent* event) {
    event->ignore();
}
