// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/NoticeBar.h"

#include "model/Notices.h"

#include <QLabel>
#include <QVBoxLayout>

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
        if (const auto* label = qobject_cast<QLabel*>(m_lines->itemAt(i)->widget())) {
            texts.append(label->text());
        }
    }
    return texts;
}

void NoticeBar::refresh() {
    while (QLayoutItem* item = m_lines->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    const QStringList texts = Notices::shared().texts();
    for (const QString& text : texts) {
        auto* label = new QLabel(text, this);
        // Notices name files and paths: plain text, so a name can never be read as markup.
        label->setTextFormat(Qt::PlainText);
        label->setWordWrap(true);
        label->setTextInteractionFlags(Qt::TextSelectableByMouse);
        m_lines->addWidget(label);
    }
    setVisible(!texts.isEmpty());
}
