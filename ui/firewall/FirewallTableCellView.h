#pragma once

#include <QWidget>
#include <memory>

class QLabel;
class QAbstractButton;

namespace Ui {
class FirewallTableCellView;
}

// The view of one row of the firewall table: the application's icon, its name, a detail line (the
// path, or what blocking a bare name means) and a control that removes the row's application from
// the block list. The cell only holds the controls; the controller fills them and answers the
// remove control.
class FirewallTableCellView final : public QWidget {
    Q_OBJECT
public:
    explicit FirewallTableCellView(QWidget* parent = nullptr);
    ~FirewallTableCellView() override;

    QLabel* imageView() const;
    QLabel* textField() const;
    QLabel* infoTextField() const;
    QAbstractButton* removeButton() const;

private:
    std::unique_ptr<Ui::FirewallTableCellView> m_ui;
};
