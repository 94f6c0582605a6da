// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/ProcessInfo.h"

#include <QByteArray>
#include <QFile>
#include <QRegularExpression>
#include <atomic>
#include <climits>
#include <sys/utsname.h>
#include <unistd.h>

namespace {

// -1: no override; 0/1: the answer tests set.
std::atomic<int> s_needsApprovalOverride{-1};

QByteArray procFile(qint32 pid, const char* entry) {
    return QByteArray("/proc/") + QByteArray::number(pid) + '/' + entry;
}

std::optional<QByteArray> readProcFile(qint32 pid, const char* entry) {
    if (pid <= 0) {
        return std::nullopt;
    }
    QFile file(QFile::decodeName(procFile(pid, entry)));
    if (!file.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    // /proc files report size 0; read until the end. A process gone mid-read reads as an error.
    QByteArray contents = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        return std::nullopt;
    }
    return contents;
}

} // namespace

std::optional<QString> ProcessInfo::processPath(qint32 pid) {
    if (pid <= 0) {
        return std::nullopt;
    }
    char buffer[PATH_MAX];
    const ssize_t length = ::readlink(procFile(pid, "exe").constData(), buffer, sizeof buffer);
    if (length <= 0 || static_cast<size_t>(length) >= sizeof buffer) {
        return std::nullopt;
    }
    QByteArray path(buffer, length);
    static const QByteArray deleted(" (deleted)");
    if (path.endsWith(deleted)) {
        path.chop(deleted.size());
    }
    return QString::fromUtf8(path);
}

std::optional<QString> ProcessInfo::processName(qint32 pid) {
    std::optional<QByteArray> name = readProcFile(pid, "comm");
    if (!name) {
        return std::nullopt;
    }
    if (name->endsWith('\n')) {
        name->chop(1);
    }
    if (name->isEmpty()) {
        return std::nullopt;
    }
    return QString::fromUtf8(*name);
}

std::optional<QByteArray> ProcessInfo::environmentValue(qint32 pid, const QByteArray& name) {
    const std::optional<QByteArray> environ = readProcFile(pid, "environ");
    if (!environ) {
        return std::nullopt;
    }
    const QByteArray prefix = name + '=';
    for (const QByteArray& entry : environ->split('\0')) {
        if (entry.startsWith(prefix)) {
            return entry.mid(prefix.size());
        }
    }
    return std::nullopt;
}

QString ProcessInfo::osVersionString() {
    utsname names{};
    if (::uname(&names) != 0) {
        return QStringLiteral("0.0.0");
    }
    static const QRegularExpression leadingNumbers(QStringLiteral("^(\\d+)(?:\\.(\\d+))?(?:\\.(\\d+))?"));
    const QRegularExpressionMatch match = leadingNumbers.match(QString::fromUtf8(names.release));
    QStringList parts;
    for (int group = 1; group <= 3; ++group) {
        const QString part = match.captured(group);
        parts.append(part.isEmpty() ? QStringLiteral("0") : part);
    }
    return parts.join(QLatin1Char('.'));
}

bool ProcessInfo::filterNeedsApproval() {
    const int answer = s_needsApprovalOverride.load();
    return answer < 0 ? true : answer == 1;
}

void ProcessInfo::setFilterNeedsApprovalOverride(std::optional<bool> answer) {
    s_needsApprovalOverride.store(answer ? (*answer ? 1 : 0) : -1);
}
