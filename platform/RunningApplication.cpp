// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/RunningApplication.h"

#include "platform/ProcessInfo.h"

#include <QFile>
#include <QRegularExpression>

namespace {

// ".../Name.app/Contents/MacOS/executable" -> ".../Name.app"
std::optional<QString> enclosingBundle(const QString& executablePath) {
    static const QRegularExpression bundleExecutable(
        QStringLiteral("^(/.*[^/]\\.app)/Contents/MacOS/[^/]+$"));
    const QRegularExpressionMatch match = bundleExecutable.match(executablePath);
    if (!match.hasMatch()) {
        return std::nullopt;
    }
    return match.captured(1);
}

std::optional<QString> launchedDesktopFile(qint32 pid) {
    const std::optional<QByteArray> launcherPid =
        ProcessInfo::environmentValue(pid, QByteArrayLiteral("GIO_LAUNCHED_DESKTOP_FILE_PID"));
    if (!launcherPid || launcherPid->toLongLong() != pid) {
        return std::nullopt;
    }
    const std::optional<QByteArray> file =
        ProcessInfo::environmentValue(pid, QByteArrayLiteral("GIO_LAUNCHED_DESKTOP_FILE"));
    if (!file || !file->startsWith('/')) {
        return std::nullopt;
    }
    return QString::fromUtf8(*file);
}

} // namespace

RunningApplication::RunningApplication(qint32 pid, std::optional<QUrl> bundleURL,
                                       std::optional<QUrl> executableURL)
    : m_pid(pid)
    , m_bundleURL(std::move(bundleURL))
    , m_executableURL(std::move(executableURL)) {}

std::unique_ptr<const RunningApplication>
RunningApplication::runningApplicationWithProcessIdentifier(qint32 pid) {
    if (pid <= 0) {
        return nullptr;
    }
    const std::optional<QString> executable = ProcessInfo::processPath(pid);
    std::optional<QString> bundle = executable ? enclosingBundle(*executable) : std::nullopt;
    if (!bundle) {
        bundle = launchedDesktopFile(pid);
    }
    if (!bundle) {
        return nullptr;
    }
    std::optional<QUrl> executableURL;
    if (executable) {
        executableURL = QUrl::fromLocalFile(*executable);
    }
    return std::make_unique<const RunningApplication>(pid, QUrl::fromLocalFile(*bundle),
                                                      std::move(executableURL));
}
