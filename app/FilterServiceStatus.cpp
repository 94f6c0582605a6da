// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/FilterServiceStatus.h"

#include "app/SystemSettingsHandler.h"
#include "platform/SystemdUnits.h"
#include "wire/ControlPath.h"
#include "wire/LocalSocket.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace {

QString tr(const char* text) {
    return QCoreApplication::translate("FilterServiceStatus", text);
}

bool unitInstalled(const QStringList& unitDirectories) {
    return SystemdUnits::isInstalled(QString::fromLatin1(SystemSettingsHandler::serviceName),
                                     unitDirectories);
}

// Root and the members of the socket's group are let in at once; anyone else waits for polkit.
bool admittedWithoutPolkit(const std::string& controlPath) {
    struct stat st {};
    if (::geteuid() == 0 || ::stat(controlPath.c_str(), &st) != 0 || st.st_gid == ::getegid()) {
        return true;
    }
    std::vector<gid_t> groups(static_cast<std::size_t>(std::max(::getgroups(0, nullptr), 0)));
    const int count = ::getgroups(static_cast<int>(groups.size()), groups.data());
    groups.resize(static_cast<std::size_t>(std::max(count, 0)));
    return std::find(groups.cbegin(), groups.cend(), st.st_gid) != groups.cend();
}

} // namespace

FilterServiceStatus::State FilterServiceStatus::probe(const std::string& controlPath,
                                                      const QStringList& unitDirectories,
                                                      std::chrono::milliseconds verdictWait) {
    const Quilvane::Wire::UniqueFd fd = Quilvane::Wire::LocalSocket::createSeqpacket();
    if (!fd) {
        return unitInstalled(unitDirectories) ? State::notRunning : State::notInstalled;
    }
    if (!Quilvane::Wire::LocalSocket::connectTo(fd.get(), controlPath)) {
        // The socket, or the folder it lies in, is closed to this user: the service keeps them out.
        if (errno == EACCES || errno == EPERM) {
            return State::refused;
        }
        return unitInstalled(unitDirectories) ? State::notRunning : State::notInstalled;
    }
    const auto wait = admittedWithoutPolkit(controlPath) ? std::chrono::milliseconds(0) : verdictWait;
    return Quilvane::Wire::LocalSocket::hasHungUp(fd.get(), wait) ? State::refused : State::answering;
}

FilterServiceStatus::State FilterServiceStatus::probe(std::chrono::milliseconds verdictWait) {
    return probe(Quilvane::Wire::controlSocketPath(), SystemSettingsHandler::systemUnitDirectories(),
                 verdictWait);
}

FilterServiceStatus::Advice FilterServiceStatus::advice(State state, const QString& userName) {
    switch (state) {
    case State::notInstalled:
        return {tr("Install the Quilvane filter service"),
                tr("Quilvane blocks applications and watches their connections through a system service, "
                   "quilvane-filterd, which is not installed on this computer. An administrator installs and "
                   "starts it with:"),
                QStringLiteral("sudo apt install quilvane-filterd")};
    case State::notRunning:
        return {tr("Start the Quilvane filter service"),
                tr("Quilvane blocks applications and watches their connections through a system service, "
                   "quilvane-filterd. It is installed but not running. It runs with administrator rights, so "
                   "an administrator starts it once with:"),
                SystemSettingsHandler::startCommand()};
    case State::refused:
        return {tr("The filter service does not let you in"),
                tr("The Quilvane filter service is running, but it does not accept %1. It lets in the person "
                   "at the machine (a user of the active local session) and the members of the group "
                   "quilvane. An administrator adds you to the group with the command below; then log out "
                   "and in again.")
                    .arg(userName),
                QStringLiteral("sudo usermod -aG quilvane ") + userName};
    case State::answering:
        break;
    }
    return {
        tr("Quilvane can’t reach its filter service"),
        tr("Blocking and monitoring are done by the filter service, quilvane-filterd. It answers, but not "
           "this version of Quilvane. Download the latest version, which brings a matching service, then "
           "start Quilvane again."),
        QString()};
}

QString FilterServiceStatus::terminalLine(const Advice& advice) {
    QString line = QStringLiteral("quilvane: ") + advice.title;
    if (!advice.command.isEmpty()) {
        line += QStringLiteral(" (") + advice.command + QLatin1Char(')');
    }
    return line;
}

QString FilterServiceStatus::currentUserName() {
    const passwd* entry = ::getpwuid(::geteuid());
    if (entry != nullptr && entry->pw_name != nullptr) {
        return QString::fromLocal8Bit(entry->pw_name);
    }
    const QString fromEnvironment = qEnvironmentVariable("USER");
    return fromEnvironment.isEmpty() ? QStringLiteral("$USER") : fromEnvironment;
}
