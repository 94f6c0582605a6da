// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QLabel>

// The artwork in the window's header. A press on it does not stay with the image: it goes on to the
// window, which moves when it is movable by its background, so the logo works as a drag handle.
class LogoImageView final : public QLabel {
    Q_OBJECT
public:
    explicit LogoImageView(QWidget* parent = nullptr);

    bool mouseDownCanMoveWindow() const { return true; }

protected:
    void mousePressEvent(QMouseEvent* event) override;
};
