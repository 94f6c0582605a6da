// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/monitor/MonitorTableCellView.h"

#include "ui_monitorTableCellView.h"

MonitorTableCellView::MonitorTableCellView(QWidget* parent)
    : QWidget(parent)
    , m_ui(std::make_unique<Ui::MonitorTableCellView>()) {
    m_ui->setupUi(this);
    // The second line is secondary text: dimmed, in the style's own colour for it.
    QPalette palette = m_ui->infoTextField->palette();
    palette.setColor(QPalette::WindowText, palette.color(QPalette::PlaceholderText));
    m_ui->infoTextField->setPalette(palette);
}

MonitorTableCellView::~MonitorTableCellView() = default;

QLabel* MonitorTableCellView::imageView() const {
    return m_ui->imageView;
}

QLabel* MonitorTableCellView::textField() const {
    return m_ui->textField;
}

QLabel* MonitorTableCellView::infoTextField() const {
    return m_ui->infoTextField;
}

QPushButton* MonitorTableCellView::inspectButton() const {
    return m_ui->inspectButton;
}

QPushButton* MonitorTableCellView::blockButton() const {
    return m_ui->blockButton;
}
