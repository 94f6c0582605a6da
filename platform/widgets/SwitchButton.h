// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QAbstractButton>

// A two-state button drawn as a sliding switch: a rounded track, filled with the highlight colour
// when on, and a knob at the side of the current state. It is checkable and toggles on a click or
// the space bar like any button; its text, if any, is drawn beside the switch.
class SwitchButton final : public QAbstractButton {
    Q_OBJECT
public:
    explicit SwitchButton(QWidget* parent = nullptr);

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    bool hitButton(const QPoint& position) const override;

private:
    QRect trackRect() const;
};
