// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QFrame>

class QVBoxLayout;

// The strip above the main window's tabs that says, in plain words, what the user must know about
// the firewall and that no pane can show: the filter service gone away, a damaged settings file, a
// list the service would refuse. It shows every notice of Notices::shared(), one a line, in the order
// they were raised, and hides itself when there is none.
class NoticeBar final : public QFrame {
    Q_OBJECT
public:
    explicit NoticeBar(QWidget* parent = nullptr);
    ~NoticeBar() override;

    // The texts shown, top to bottom.
    QStringList texts() const;

private:
    void refresh();

    QVBoxLayout* m_lines = nullptr;
};
