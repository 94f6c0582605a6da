// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QStyledItemDelegate>

// Draws a host name as the table would, followed by its note (ConnectionsTableModel::HostNoteRole)
// in small grey type, so that a reverse name reads as such at a glance while the cell's text stays
// the bare name that copying takes.
class HostNameDelegate final : public QStyledItemDelegate {
    Q_OBJECT
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

private:
    static QFont noteFont(const QFont& font);
};
