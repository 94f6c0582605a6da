// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/SystemSettingsHandler.h"

#include "app/WindowSnapshot.h"
#include "platform/SystemdUnits.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <algorithm>

const char* const SystemSettingsHandler::scheme = "x-apple.systempreferences";
const char* const SystemSettingsHandler::serviceName = "quilvane-filterd.service";

SystemSettingsHandler::SystemSettingsHandler(QStringList unitDirectories, QObject* parent)
    : QObject(parent)
    , m_unitDirectories(std::move(unitDirectories)) {}

SystemSettingsHandler::~SystemSettingsHandler() {
    if (m_installed) {
        QDesktopServices::unsetUrlHandler(QString::fromLatin1(scheme));
    }
    delete m_dialog.data();
}

QStringList SystemSettingsHandler::systemUnitDirectories() {
    return SystemdUnits::systemDirectories();
}

void SystemSettingsHandler::install() {
    QDesktopServices::setUrlHandler(QString::fromLatin1(scheme), this, "openUrl");
    m_installed = true;
}

bool SystemSettingsHandler::canStartService() const {
    // systemctl starts nothing unless systemd runs the machine, which it tells as sd_booted() does.
    if (!QFileInfo(m_systemdRuntimeDirectory).isDir() ||
        QStandardPaths::findExecutable(QStringLiteral("systemctl")).isEmpty() ||
        QStandardPaths::findExecutable(QStringLiteral("pkexec")).isEmpty()) {
        return false;
    }
    return SystemdUnits::isInstalled(QString::fromLatin1(serviceName), m_unitDirectories);
}

void SystemSettingsHandler::openUrl(const QUrl&) {
    // A dialog that was closed is on its way out (deleted on close); a new request gets a new one.
    if (m_dialog && m_dialog->isVisible()) {
        m_dialog->raise();
        m_dialog->activateWindow();
        return;
    }
    // The dialog belongs to the window that asked for it (the guide): it closes with that window and
    // never keeps the application running on its own.
    auto* box = new QMessageBox(QMessageBox::Information, tr("Start the Quilvane Filter Service"),
                                tr("Quilvane blocks applications through its filter service, %1, which runs "
                                   "with administrator rights.")
                                    .arg(QString::fromLatin1(serviceName)),
                                QMessageBox::NoButton, WindowSnapshot::frontWindow());
    box->setAttribute(Qt::WA_QuitOnClose, false);
    const QString command = startCommand();
    box->setInformativeText(
        tr("An administrator starts it once with:\n\n    %1\n\nIf it is not installed: "
           "sudo apt install quilvane-filterd. From the source folder, ./scripts/run starts "
           "the service and Quilvane together.")
            .arg(command));
    box->setTextInteractionFlags(Qt::TextSelectableByMouse);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::NonModal);
    box->addButton(QMessageBox::Close);
    if (canStartService()) {
        QPushButton* start = box->addButton(tr("Start Service…"), QMessageBox::AcceptRole);
        box->setDefaultButton(start);
        connect(start, &QPushButton::clicked, this, &SystemSettingsHandler::startService);
    }
    m_dialog = box;
    box->show();
}

QString SystemSettingsHandler::startCommand() {
    return QStringLiteral("sudo systemctl enable --now ") + QString::fromLatin1(serviceName);
}

// pkexec asks for the administrator's password itself; the guide notices the running service. A
// start that fails (refused password, a unit that does not start) is said in the dialog.
void SystemSettingsHandler::startService() {
    auto* process = new QProcess(this);
    process->setProcessChannelMode(QProcess::MergedChannels);
    const auto failed = [this, process](const QString& why) {
        if (m_dialog) {
            m_dialog->setInformativeText(
                tr("The filter service could not be started: %1").arg(why.trimmed()));
            m_dialog->show();
        }
        process->deleteLater();
    };
    connect(process, &QProcess::errorOccurred, this,
            [process, failed](QProcess::ProcessError) { failed(process->errorString()); });
    connect(process, &QProcess::finished, this, [process, failed](int code, QProcess::ExitStatus status) {
        if (status == QProcess::NormalExit && code == 0) {
            process->deleteLater();
            return;
        }
        const QString output = QString::fromLocal8Bit(process->readAll());
        failed(output.isEmpty() ? tr("exit status %1").arg(code) : output);
    });
    process->start(QStringLiteral("pkexec"), {QStringLiteral("systemctl"), QStringLiteral("enable"),
                                              QStringLiteral("--now"), QString::fromLatin1(serviceName)});
}
