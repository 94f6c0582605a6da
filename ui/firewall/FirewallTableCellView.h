// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QWidget>
#include <memory>

class QLabel;
class QAbstractButton;

namespace Ui {
class FirewallTableCellView;
}

// The view of one row of the firewall table: the application's icon, its name, a detail line (the
// path, or what blocking a bare name means), a small line saying how many of the application's
// attempts to connect were refused (hidden while there are none) and a control that removes the
// row's application from the block list. Long names and paths end in "…". The cell only holds the
// controls; the controller fills them and answers the remove control.
class FirewallTableCellView final : public QWidget {
    Q_OBJECT
public:
    explicit FirewallTableCellView(QWidget* parent = nullptr);
    ~FirewallTableCellView() override;

    QLabel* imageView() const;
    QLabel* textField() const;
    QLabel* infoTextField() const;
    QLabel* refusedTextField() const;
    // Shows the refused-attempts line, or hides it when `text` is empty.
    void setRefusedText(const QString& text);
    QAbstractButton* removeButton() const;

private:
    std::unique_ptr<Ui::FirewallTableCellView> m_ui;
};
