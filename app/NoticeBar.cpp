// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/NoticeBar.h"

#include "model/Notices.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QToolButton>
#include <QVBoxLayout>
#include <iterator>

NoticeBar::NoticeBar(QWidget* parent)
    : QFrame(parent)
    , m_lines(new QVBoxLayout(this)) {
    setObjectName(QStringLiteral("noticeBar"));
    setFrameShape(QFrame::StyledPanel);
    // A warm tint that reads as "attention" in light and dark themes alike without hiding the text.
    setStyleSheet(QStringLiteral("#noticeBar { background: rgba(255, 196, 0, 60); border: none; }"));
    m_lines->setContentsMargins(12, 6, 12, 6);
    m_lines->setSpacing(4);
    connect(&Notices::shared(), &Notices::changed, this, &NoticeBar::refresh);
    refresh();
}

NoticeBar::~NoticeBar() = default;

QStringList NoticeBar::texts() const {
    QStringList texts;
    for (int i = 0; i < m_lines->count(); ++i) {
        const QWidget* line = m_lines->itemAt(i)->widget();
        if (const auto* label = line ? line->findChild<QLabel*>() : nullptr) {
            texts.append(label->text());
        }
    }
    return texts;
}

void NoticeBar::dismiss(const QString& key) {
    m_dismissed.insert(key, Notices::shared().text(key));
    refresh();
}

void NoticeBar::refresh() {
    while (QLayoutItem* item = m_lines->takeAt(0)) {
        // Later: the line's own dismiss button may be the one that asked for this.
        item->widget()->hide();
        item->widget()->deleteLater();
        delete item;
    }
    const Notices& notices = Notices::shared();
    const QStringList keys = notices.keys();
    // A notice withdrawn or changed since it was dismissed shows again when it is raised.
    for (auto it = m_dismissed.begin(); it != m_dismissed.end();) {
        it = keys.contains(it.key()) && notices.text(it.key()) == it.value() ? std::next(it)
                                                                             : m_dismissed.erase(it);
    }
    for (const QString& key : keys) {
        if (!m_dismissed.contains(key)) {
            m_lines->addWidget(makeLine(key, notices.text(key)));
        }
    }
    setVisible(m_lines->count() > 0);
}

QWidget* NoticeBar::makeLine(const QString& key, const QString& text) {
    auto* line = new QWidget(this);
    auto* layout = new QHBoxLayout(line);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* label = new QLabel(text, line);
    // Notices name files and paths: plain text, so a name can never be read as markup.
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(label, 1);
    auto* close = new QToolButton(line);
    close->setObjectName(QStringLiteral("dismissNoticeButton"));
    close->setText(QStringLiteral("\u2715"));
    close->setAutoRaise(true);
    close->setToolTip(tr("Dismiss"));
    close->setAccessibleName(tr("Dismiss"));
    connect(close, &QToolButton::clicked, this, [this, key] { dismiss(key); });
    layout->addWidget(close, 0, Qt::AlignTop);
    return line;
}
