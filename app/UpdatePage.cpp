#include "app/UpdatePage.h"

#include "platform/ProcessInfo.h"
#include "platform/Workspace.h"

#include <QCoreApplication>

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

void openUpdatePage() {
    if (const std::optional<QUrl> url = updatePageURL()) {
        Workspace::openURL(*url);
    }
}
