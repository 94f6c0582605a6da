// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/monitor/HostNameDelegate.h"

#include "ui/monitor/ConnectionsTableModel.h"

#include <QApplication>
#include <QFontMetrics>
#include <QPainter>
#include <QStyle>
#include <algorithm>

namespace {

constexpr int kNoteGap = 6; // pixels between the name and its note
constexpr qreal kNoteScale = 0.85;

} // namespace

QFont HostNameDelegate::noteFont(const QFont& font) {
    QFont small = font;
    if (small.pointSizeF() > 0) {
        small.setPointSizeF(small.pointSizeF() * kNoteScale);
    } else {
        small.setPixelSize(std::max(1, static_cast<int>(small.pixelSize() * kNoteScale)));
    }
    return small;
}

void HostNameDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                             const QModelIndex& index) const {
    const QString note = index.data(ConnectionsTableModel::HostNoteRole).toString();
    if (note.isEmpty()) {
        QStyledItemDelegate::paint(painter, option, index);
        return;
    }
    QStyleOptionViewItem item = option;
    initStyleOption(&item, index);
    const QFont small = noteFont(item.font);
    const int noteWidth = QFontMetrics(small).horizontalAdvance(note) + kNoteGap;
    const QStyle* style = item.widget != nullptr ? item.widget->style() : QApplication::style();
    const QRect textRect = style->subElementRect(QStyle::SE_ItemViewItemText, &item, item.widget);

    // The name gives way to the note when the column is narrow: the note says how to read it.
    const QFontMetrics metrics(item.font);
    item.text = metrics.elidedText(item.text, item.textElideMode, std::max(0, textRect.width() - noteWidth));
    style->drawControl(QStyle::CE_ItemViewItem, &item, painter, item.widget);

    const int nameWidth = metrics.horizontalAdvance(item.text);
    QRect noteRect = textRect;
    noteRect.setLeft(
        std::min(textRect.left() + nameWidth + kNoteGap, textRect.right() - noteWidth + kNoteGap));
    const bool selected = (item.state & QStyle::State_Selected) != 0;
    painter->save();
    painter->setFont(small);
    painter->setPen(item.palette.color(selected ? QPalette::HighlightedText : QPalette::PlaceholderText));
    painter->drawText(noteRect, Qt::AlignLeft | Qt::AlignVCenter, note);
    painter->restore();
}

QSize HostNameDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const {
    QSize size = QStyledItemDelegate::sizeHint(option, index);
    const QString note = index.data(ConnectionsTableModel::HostNoteRole).toString();
    if (!note.isEmpty()) {
        size.rwidth() += QFontMetrics(noteFont(option.font)).horizontalAdvance(note) + kNoteGap;
    }
    return size;
}
