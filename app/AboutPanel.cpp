// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/AboutPanel.h"

#include "kernel/KextClient.h"

#include <QCoreApplication>
#include <QMessageBox>

namespace {

QString licenceText() {
    return QCoreApplication::translate("AboutPanel",
                                       "Licence: GNU General Public License, version 3 or later. The filter "
                                       "service's eBPF program: GPL version 2 or the BSD 2-clause licence.");
}

QString serviceText() {
    return KextClient::shared().socket() != 0
               ? QCoreApplication::translate("AboutPanel", "Filter service: connected.")
               : QCoreApplication::translate("AboutPanel", "Filter service: not connected; nothing is "
                                                           "blocked until it runs.");
}

} // namespace

QString AboutPanel::text() {
    return QCoreApplication::translate("AboutPanel", "Quilvane %1").arg(QStringLiteral(QUILVANE_VERSION)) +
           QStringLiteral("\n\n") + licenceText() + QStringLiteral("\n\n") + serviceText();
}

QMessageBox* AboutPanel::show(QWidget* parent) {
    auto* panel =
        new QMessageBox(QMessageBox::Information, QCoreApplication::translate("AboutPanel", "About Quilvane"),
                        text(), QMessageBox::Close, parent);
    panel->setObjectName(QStringLiteral("aboutPanel"));
    panel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    panel->setAttribute(Qt::WA_DeleteOnClose);
    panel->setWindowModality(Qt::NonModal);
    panel->show();
    return panel;
}
