// SPDX-License-Identifier: GPL-3.0-or-later
#include "ctl/Quilvanectl.h"

#include "ctl/RecordJson.h"
#include "model/App.h"
#include "model/Blacklist.h"
#include "model/FilterCommand.h"
#include "model/SettingsKeys.h"
#include "platform/ControlSocket.h"
#include "platform/UserDefaults.h"
#include "wire/ControlPath.h"
#include "wire/KextCommandFrame.h"
#include "wire/ListFolder.h"
#include "wire/LocalSocket.h"
#include "wire/RecordExtension.h"
#include "wire/ServiceReply.h"
#include "wire/UniqueFd.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFileInfo>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The LSB's status codes, which `systemctl status` uses too.
constexpr int kNotRunning = 3;
constexpr int kNotLetIn = 4;
// The service asks polkit about a user outside its group for up to a second before it lets the
// user in or closes the connection.
constexpr auto kAdmissionWait = std::chrono::milliseconds(1100);

Quilvane::Wire::UniqueFd connectToService(QString& why) {
    const std::string path = Quilvane::Wire::controlSocketPath();
    if (!ControlSocket::lookup(path)) {
        why = QStringLiteral("not running (no socket at %1)").arg(QString::fromStdString(path));
        return {};
    }
    Quilvane::Wire::UniqueFd fd(ControlSocket::create());
    if (!fd || !ControlSocket::connect(fd.get(), path)) {
        why = QStringLiteral("not reachable at %1 (%2)")
                  .arg(QString::fromStdString(path), QString::fromLocal8Bit(std::strerror(errno)));
        return {};
    }
    return fd;
}

bool letIn(int fd) {
    return !Quilvane::Wire::LocalSocket::hasHungUp(fd, kAdmissionWait);
}

QString notLetInText() {
    return QStringLiteral("running, but it does not let this user in: ask an administrator for "
                          "'sudo usermod -aG quilvane %1', then log in again")
        .arg(QString::fromLocal8Bit(qgetenv("USER")));
}

void useSettings() {
    UserDefaults::setStandardSchema(SettingsKeys::schema());
    UserDefaults::standard().registerDefaults({{SettingsKeys::enableFirewall, true}});
}

} // namespace

Quilvanectl::Quilvanectl(QTextStream& out, QTextStream& err)
    : m_out(out)
    , m_err(err) {}

QString Quilvanectl::help() {
    return QStringLiteral(
        "Usage: quilvanectl COMMAND [ARGUMENTS]\n"
        "\n"
        "Quilvane's block list and filter service from a terminal. Your list is the one the window\n"
        "shows (the same settings file); a running window follows every change.\n"
        "\n"
        "Commands:\n"
        "  status                 the filter service, your list and the administrator's list files\n"
        "  list                   the programs and applications on your list, one a line\n"
        "  list --machine         the names the administrator's list files block for everyone\n"
        "  block NAME|PATH...     add programs (by name) or applications and programs (by path)\n"
        "  unblock NAME|PATH...   take them off your list\n"
        "  watch                  your connections as they happen, one JSON object a line\n"
        "\n"
        "Options:\n"
        "  -h, --help             show this help\n"
        "  --version              show the version\n"
        "\n"
        "Exit status: 0 done; 1 failed; 2 wrong usage; 3 the service is not running;\n"
        "4 the service does not let this user in.\n");
}

int Quilvanectl::run(const QStringList& arguments) {
    if (arguments.isEmpty()) {
        m_err << "quilvanectl: a command is needed (try --help)\n";
        return usage;
    }
    const QString& command = arguments.first();
    const QStringList rest = arguments.mid(1);
    if (command == QStringLiteral("--help") || command == QStringLiteral("-h") ||
        command == QStringLiteral("help")) {
        m_out << help();
        return ok;
    }
    if (command == QStringLiteral("--version")) {
        m_out << "quilvanectl " << QCoreApplication::applicationVersion() << '\n';
        return ok;
    }
    const auto noArguments = [&]() {
        if (!rest.isEmpty()) {
            m_err << "quilvanectl: " << command << " takes no argument \"" << rest.first()
                  << "\" (try --help)\n";
            return false;
        }
        return true;
    };
    if (command == QStringLiteral("status")) {
        return noArguments() ? status() : usage;
    }
    if (command == QStringLiteral("watch")) {
        return noArguments() ? watch() : usage;
    }
    if (command == QStringLiteral("list")) {
        if (rest == QStringList{QStringLiteral("--machine")}) {
            return list(true);
        }
        return noArguments() ? list(false) : usage;
    }
    if (command == QStringLiteral("block") || command == QStringLiteral("unblock")) {
        if (rest.isEmpty()) {
            m_err << "quilvanectl: " << command << " needs a program name or path (try --help)\n";
            return usage;
        }
        return block(rest, command == QStringLiteral("block"));
    }
    m_err << "quilvanectl: unknown command \"" << command << "\" (try --help)\n";
    return usage;
}

int Quilvanectl::status() {
    useSettings();
    const bool enabled = UserDefaults::standard().boolForKey(SettingsKeys::enableFirewall);
    const auto& apps = Blacklist::shared().apps();
    const auto files = Quilvane::Wire::ListFolder::read(Quilvane::Wire::kListsDirectory, 0);
    QString why;
    int code = ok;
    QString service;
    if (const auto fd = connectToService(why); !fd) {
        service = why;
        code = kNotRunning;
    } else if (!letIn(fd.get())) {
        service = notLetInText();
        code = kNotLetIn;
    } else {
        service = QStringLiteral("running, this user is let in");
    }
    m_out << "filter service: " << service << '\n';
    m_out << "your list: " << apps.size() << (apps.size() == 1 ? " entry" : " entries") << ", firewall "
          << (enabled ? "on" : "off") << " (" << UserDefaults::standard().filePath() << ")\n";
    m_out << "administrator's list files: ";
    if (!files.valid()) {
        m_out << files.problems().front().text().c_str() << '\n';
    } else {
        m_out << files.names().size() << " names from " << files.files().size() << " files in "
              << Quilvane::Wire::kListsDirectory << '\n';
    }
    return code;
}

int Quilvanectl::list(bool machine) {
    if (machine) {
        const auto files = Quilvane::Wire::ListFolder::read(Quilvane::Wire::kListsDirectory, 0);
        for (const auto& problem : files.problems()) {
            m_err << "quilvanectl: " << problem.text().c_str() << '\n';
        }
        for (const std::string& name : files.names()) {
            m_out << name.c_str() << '\n';
        }
        return files.valid() ? ok : failed;
    }
    useSettings();
    for (const QString& identifier : Blacklist::shared().identifiers()) {
        m_out << identifier << '\n';
    }
    return ok;
}

int Quilvanectl::block(const QStringList& targets, bool add) {
    useSettings();
    Blacklist& blacklist = Blacklist::shared();
    int code = ok;
    for (const QString& target : targets) {
        const bool isPath = target.contains(QLatin1Char('/'));
        const QString absolute = isPath ? QFileInfo(target).absoluteFilePath() : target;
        if (add) {
            const AppPtr app = isPath ? App::initWithPath(absolute) : App::initWithIdentifier(target);
            if (!app) {
                m_err << "quilvanectl: " << target << " is no application or program; not added\n";
                code = failed;
                continue;
            }
            blacklist.block(app);
            continue;
        }
        // A name also takes off the entries of that program wherever they live.
        QList<AppPtr> matches;
        for (const AppPtr& app : blacklist.apps()) {
            if (App::identifiersEqual(app->identifier(), absolute) ||
                (!isPath && app->executable() == target)) {
                matches.append(app);
            }
        }
        if (matches.isEmpty()) {
            m_err << "quilvanectl: " << target << " is not on your list\n";
            code = failed;
        }
        for (const AppPtr& app : matches) {
            blacklist.unblock(app);
        }
    }
    if (!UserDefaults::standard().synchronize()) {
        m_err << "quilvanectl: the settings file " << UserDefaults::standard().filePath()
              << " could not be written; nothing changed\n";
        return failed;
    }
    sendListToService();
    return code;
}

bool Quilvanectl::sendListToService() {
    QString why;
    const auto fd = connectToService(why);
    if (!fd) {
        m_err << "quilvanectl: the filter service is " << why
              << "; your list is saved and in force once Quilvane connects to it\n";
        return false;
    }
    const bool enabled = UserDefaults::standard().boolForKey(SettingsKeys::enableFirewall);
    const FilterCommand command = FilterCommand::forBlacklist(&Blacklist::shared(), enabled);
    for (const QString& identifier : command.unenforceable()) {
        m_err << "quilvanectl: " << identifier << " cannot be enforced: its program name cannot be sent\n";
    }
    if (!command.replacesServiceList()) {
        m_err << "quilvanectl: your list is too long for the filter service; it keeps the list it has\n";
        return false;
    }
    const auto messages = Quilvane::Wire::frameBlockList(command.payload());
    for (const auto& message : messages.value_or(decltype(messages)::value_type{})) {
        if (ControlSocket::send(fd.get(), message.data(), message.size()) != 0) {
            m_err << "quilvanectl: the list could not be sent to the filter service ("
                  << QString::fromLocal8Bit(std::strerror(errno)) << ")\n";
            return false;
        }
    }
    // Root and the service's group are let in at once; anyone else only once polkit answers,
    // which closes the connection when it says no.
    if (::geteuid() != 0 && !letIn(fd.get())) {
        m_err << "quilvanectl: the filter service is " << notLetInText() << '\n';
        return false;
    }
    return true;
}

int Quilvanectl::watch() {
    QString why;
    const auto fd = connectToService(why);
    if (!fd) {
        m_err << "quilvanectl: the filter service is " << why << '\n';
        return kNotRunning;
    }
    // Asks for the names programs looked up. The replies that come with the hello are no records and
    // are not printed; a service that predates the hello ignores it.
    const std::uint32_t reads = Quilvane::Wire::kRecordExtensionHostVersion;
    static_assert(sizeof reads == Quilvane::Wire::kHelloVersionSize);
    const auto hello = Quilvane::Wire::frameCommand(Quilvane::Wire::kSysprotoControl,
                                                    Quilvane::Wire::kHelloOption, &reads, sizeof reads);
    ControlSocket::send(fd.get(), hello.data(), hello.size());
    Quilvane::Wire::RecordBuffer record{};
    for (;;) {
        record.fill(0);
        const ssize_t length = ::recv(fd.get(), record.data(), record.size(), 0);
        if (length < 0 && errno == EINTR) {
            continue;
        }
        if (length <= 0) {
            m_err << "quilvanectl: the filter service closed the connection (stopped, or it does not let "
                     "this user in)\n";
            return failed;
        }
        const QByteArray line =
            RecordJson::line(record, static_cast<std::size_t>(length), QDateTime::currentMSecsSinceEpoch());
        if (!line.isEmpty()) {
            m_out << line;
            m_out.flush();
        }
    }
}
