// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QUrl>

// Handles the service-settings address that the start-up guide opens
// ("x-apple.systempreferences:..."): there is no settings pane for the filter service on a Linux
// desktop, so this explains how the service is started and, where systemd, pkexec and the service's
// unit are installed, offers to start it with an administrator's password. The dialog never blocks
// the event loop.
class SystemSettingsHandler final : public QObject {
    Q_OBJECT
public:
    static const char* const scheme;
    static const char* const serviceName;
    // What an administrator types to start the service for good.
    static QString startCommand();

    // `unitDirectories`: where systemd unit files are looked for (the system's folders by default).
    explicit SystemSettingsHandler(QStringList unitDirectories = systemUnitDirectories(),
                                   QObject* parent = nullptr);
    ~SystemSettingsHandler() override;

    static QStringList systemUnitDirectories();

    // Makes this object the desktop's handler for `scheme`, until it is destroyed.
    void install();

    // Whether the "Start Service" button is offered: systemd running the machine, systemctl and
    // pkexec on PATH, and the unit file in one of the unit folders.
    bool canStartService() const;
    // Tests only: the folder whose presence says systemd runs the machine (/run/systemd/system).
    void setSystemdRuntimeDirectory(const QString& path) { m_systemdRuntimeDirectory = path; }

    // The dialog shown last, while it is open (tests close it).
    QMessageBox* dialog() const { return m_dialog; }

public Q_SLOTS:
    // Called by QDesktopServices for addresses of `scheme`.
    void openUrl(const QUrl& url);

private:
    void startService();

    QStringList m_unitDirectories;
    QString m_systemdRuntimeDirectory = QStringLiteral("/run/systemd/system");
    QPointer<QMessageBox> m_dialog;
    bool m_installed = false;
};
