// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/UpdatePage.h"

#include "app/WindowSnapshot.h"
#include "platform/ProcessInfo.h"
#include "platform/Workspace.h"

#include <QCoreApplication>
#include <QMessageBox>

namespace {

const QString updatePageBase = QStringLiteral("https://quilvaneapp.com/update");

} // namespace

QString appVersionString() {
    const QString version = QCoreApplication::applicationVersion();
    return version.isEmpty() ? QStringLiteral("unknown") : version;
}

QString osVersionString() {
    return ProcessInfo::osVersionString();
}

std::optional<QUrl> updatePageURL() {
    const QString text = updatePageBase + QStringLiteral("?version=") + appVersionString() +
                         QStringLiteral("&os=") + osVersionString();
    // Strict parsing: a version with a space or a stray '%' must not be silently repaired into some
    // other address.
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid()) {
        return std::nullopt;
    }
    return url;
}

QPointer<QMessageBox> openUpdatePage() {
    const std::optional<QUrl> url = updatePageURL();
    if (!url || Workspace::openURL(*url)) {
        return nullptr;
    }
    auto* notice =
        new QMessageBox(QMessageBox::Information, QCoreApplication::translate("UpdatePage", "No Web Browser"),
                        QCoreApplication::translate(
                            "UpdatePage", "Quilvane could not open a web browser. The update page is at:"),
                        QMessageBox::Close, WindowSnapshot::frontWindow());
    notice->setInformativeText(url->toString());
    notice->setTextInteractionFlags(Qt::TextSelectableByMouse);
    notice->setAttribute(Qt::WA_DeleteOnClose);
    notice->setAttribute(Qt::WA_QuitOnClose, false);
    notice->setWindowModality(Qt::NonModal);
    notice->show();
    return notice;
}
