// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QLabel>

// A one-line plain-text label that shows as much of its text as fits and ends it with "…" when it
// is cut, as the platform's text fields truncate their tail. text() stays whole, and hovering over a
// cut text shows all of it.
class ElidingLabel final : public QLabel {
    Q_OBJECT
public:
    explicit ElidingLabel(QWidget* parent = nullptr);

    // The text as drawn at the label's current width.
    QString displayedText() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    bool event(QEvent* event) override;
};
