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

// Only what Quilvane knows: a service that is away keeps blocking with the lists it last put in
// force (they outlive it), and one that never ran blocks nothing; Quilvane cannot tell which from here.
QString serviceText() {
    return KextClient::shared().admittedByService()
               ? QCoreApplication::translate("AboutPanel", "Filter service: connected.")
               : QCoreApplication::translate("AboutPanel",
                                             "Filter service: not connected. Blocks it has already put in "
                                             "force stay in force; changes made now wait until Quilvane is "
                                             "connected again.");
}

} // namespace

QString AboutPanel::text() {
    return QCoreApplication::translate("AboutPanel", "Quilvane %1").arg(QStringLiteral(QUILVANE_VERSION)) +
           QStringLiteral("\n\n") + licenceText() + QStringLiteral("\n\n") + serviceText();
}

QMessageBox* AboutPanel::show(QWidget* parent) {
    // Over the window whose menu opened it: it closes with that window and never keeps the
    // application running on its own.
    auto* panel =
        new QMessageBox(QMessageBox::Information, QCoreApplication::translate("AboutPanel", "About Quilvane"),
                        text(), QMessageBox::Close, parent);
    panel->setObjectName(QStringLiteral("aboutPanel"));
    panel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    panel->setAttribute(Qt::WA_DeleteOnClose);
    panel->setWindowModality(Qt::NonModal);
    panel->setAttribute(Qt::WA_QuitOnClose, false);
    panel->show();
    return panel;
}
