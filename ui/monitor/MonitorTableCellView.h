// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QWidget>
#include <memory>

class QLabel;
class QPushButton;

namespace Ui {
class MonitorTableCellView;
}

// The view of one monitor row: the application's icon, its name, a second line (its path, or
// "In-memory process"), a button titled with the number of connections that opens the connections
// popover, and a button that blocks the application. The count button has a fixed size: retitling it
// on every connection then repaints the button alone instead of laying out the row again. The controller
// fills it and connects the two buttons once, when the table makes the cell; the table recycles cells for
// rows scrolling into view.
class MonitorTableCellView final : public QWidget {
    Q_OBJECT
public:
    explicit MonitorTableCellView(QWidget* parent = nullptr);
    ~MonitorTableCellView() override;

    QLabel* imageView() const;
    QLabel* textField() const;
    QLabel* infoTextField() const;
    QPushButton* inspectButton() const;
    QPushButton* blockButton() const;

private:
    std::unique_ptr<Ui::MonitorTableCellView> m_ui;
};
