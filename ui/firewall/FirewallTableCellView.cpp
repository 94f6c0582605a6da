// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/firewall/FirewallTableCellView.h"

#include "platform/widgets/SystemFont.h"
#include "ui_firewallTableCellView.h"

namespace {

constexpr int refusedTextSize = 11;

} // namespace

FirewallTableCellView::FirewallTableCellView(QWidget* parent)
    : QWidget(parent)
    , m_ui(std::make_unique<Ui::FirewallTableCellView>()) {
    m_ui->setupUi(this);
    m_ui->infoTextField->setForegroundRole(QPalette::PlaceholderText);
    m_ui->refusedTextField->setForegroundRole(QPalette::PlaceholderText);
    m_ui->refusedTextField->setFont(SystemFont::ofSize(refusedTextSize));
    m_ui->refusedTextField->hide();
    // Two lines or three, the text stays centred beside the icon with its lines together.
    m_ui->textLayout->insertStretch(0);
    m_ui->textLayout->addStretch();
}

FirewallTableCellView::~FirewallTableCellView() = default;

QLabel* FirewallTableCellView::imageView() const {
    return m_ui->imageView;
}

QLabel* FirewallTableCellView::textField() const {
    return m_ui->textField;
}

QLabel* FirewallTableCellView::infoTextField() const {
    return m_ui->infoTextField;
}

QLabel* FirewallTableCellView::refusedTextField() const {
    return m_ui->refusedTextField;
}

void FirewallTableCellView::setRefusedText(const QString& text) {
    m_ui->refusedTextField->setText(text);
    m_ui->refusedTextField->setVisible(!text.isEmpty());
}

QAbstractButton* FirewallTableCellView::removeButton() const {
    return m_ui->removeButton;
}
