// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QFrame>
#include <QHash>
#include <QString>

class QVBoxLayout;

// The strip above the main window's tabs that says, in plain words, what the user must know about
// the firewall and that no pane can show: the filter service gone away, a damaged settings file, a
// list the service would refuse. It shows every notice of Notices::shared(), one a line, in the order
// they were raised, and hides itself when there is none. Each line has a button that dismisses it:
// a dismissed notice stays hidden until it is raised again with another text, or withdrawn and
// raised anew.
class NoticeBar final : public QFrame {
    Q_OBJECT
public:
    explicit NoticeBar(QWidget* parent = nullptr);
    ~NoticeBar() override;

    // The texts shown, top to bottom.
    QStringList texts() const;
    // Hides the notice shown under `key` until it changes.
    void dismiss(const QString& key);

private:
    void refresh();
    QWidget* makeLine(const QString& key, const QString& text);

    QVBoxLayout* m_lines = nullptr;
    QHash<QString, QString> m_dismissed; // key → the text that was dismissed
};
