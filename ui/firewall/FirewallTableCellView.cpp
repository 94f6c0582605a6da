#include "ui/firewall/FirewallTableCellView.h"

#include "ui_firewallTableCellView.h"

FirewallTableCellView::FirewallTableCellView(QWidget* parent)
    : QWidget(parent)
    , m_ui(std::make_unique<Ui::FirewallTableCellView>()) {
    m_ui->setupUi(this);
    m_ui->infoTextField->setForegroundRole(QPalette::PlaceholderText);
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

QAbstractButton* FirewallTableCellView::removeButton() const {
    return m_ui->removeButton;
}
