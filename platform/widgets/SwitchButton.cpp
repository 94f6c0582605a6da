// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/widgets/SwitchButton.h"

#include <QPainter>
#include <QPainterPath>
#include <QStyle>
#include <QStyleOptionFocusRect>

namespace {

constexpr int trackWidth = 38;
constexpr int trackHeight = 20;
constexpr int knobInset = 2;
constexpr int textGap = 8;

} // namespace

SwitchButton::SwitchButton(QWidget* parent)
    : QAbstractButton(parent) {
    setCheckable(true);
    setFocusPolicy(Qt::StrongFocus);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

QSize SwitchButton::sizeHint() const {
    const int textWidth = text().isEmpty() ? 0 : textGap + fontMetrics().horizontalAdvance(text());
    return {trackWidth + textWidth + 2, std::max(trackHeight, fontMetrics().height()) + 4};
}

QRect SwitchButton::trackRect() const {
    return {1, (height() - trackHeight) / 2, trackWidth, trackHeight};
}

bool SwitchButton::hitButton(const QPoint& position) const {
    return rect().contains(position);
}

void SwitchButton::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRect track = trackRect();
    const QPalette& colours = palette();
    const QPalette::ColorGroup group = isEnabled() ? QPalette::Active : QPalette::Disabled;

    QPainterPath trackPath;
    trackPath.addRoundedRect(QRectF(track), trackHeight / 2.0, trackHeight / 2.0);
    painter.fillPath(trackPath, isChecked() ? colours.color(group, QPalette::Highlight)
                                            : colours.color(group, QPalette::Mid));

    const int knobSize = trackHeight - 2 * knobInset;
    const int knobX = isChecked() ? track.right() - knobInset - knobSize + 1 : track.left() + knobInset;
    painter.setPen(QPen(colours.color(group, QPalette::Shadow), 0.5));
    painter.setBrush(colours.color(group, QPalette::Base));
    painter.drawEllipse(QRectF(knobX, track.top() + knobInset, knobSize, knobSize));

    if (!text().isEmpty()) {
        const QRect textRect(track.right() + textGap, 0, width() - track.right() - textGap, height());
        style()->drawItemText(&painter, textRect, Qt::AlignLeft | Qt::AlignVCenter, colours, isEnabled(),
                              text(), QPalette::WindowText);
    }
    if (hasFocus()) {
        QStyleOptionFocusRect focus;
        focus.initFrom(this);
        focus.rect = track.adjusted(-1, -1, 1, 1);
        style()->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, &painter, this);
    }
}
