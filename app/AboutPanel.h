// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QPointer>
#include <QString>

class QMessageBox;
class QWidget;

// Help › About Quilvane: the version, the licence Quilvane is offered under and whether the filter
// service is connected, so that a user reporting a problem can copy all three at once. The panel is
// not modal: it opens, and the caller carries on.
class AboutPanel final {
public:
    // The panel's text for the current state of the filter client.
    static QString text();
    // Opens the panel over `parent`, the window whose menu opened it, and owned by it; it deletes
    // itself when closed.
    static QMessageBox* show(QWidget* parent);
};
