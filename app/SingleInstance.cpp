// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/SingleInstance.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDir>
#include <QStandardPaths>

namespace {

const QString serviceName = QString::fromLatin1(SingleInstance::kServiceName);
const QString objectPath = QString::fromLatin1(SingleInstance::kObjectPath);

} // namespace

SingleInstance::SingleInstance(QObject* parent)
    : QObject(parent) {}

SingleInstance::~SingleInstance() = default;

SingleInstance::Claim SingleInstance::claim() {
    if (const std::optional<Claim> claimed = claimOnSessionBus()) {
        return *claimed;
    }
    return claimLockFile();
}

void SingleInstance::Activate() {
    Q_EMIT activationRequested();
}

// Nothing when there is no session bus to ask.
std::optional<SingleInstance::Claim> SingleInstance::claimOnSessionBus() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        return std::nullopt;
    }
    // The object first, so that a later start finds it as soon as the name is ours.
    bus.registerObject(objectPath, this, QDBusConnection::ExportScriptableSlots);
    if (bus.registerService(serviceName)) {
        return Claim::first;
    }
    bus.unregisterObject(objectPath);
    const QDBusMessage reply = bus.call(
        QDBusMessage::createMethodCall(serviceName, objectPath, serviceName, QStringLiteral("Activate")));
    // A first start that went away between the two steps leaves the name free: take it over.
    if (reply.type() == QDBusMessage::ErrorMessage && !bus.interface()->isServiceRegistered(serviceName)) {
        bus.registerObject(objectPath, this, QDBusConnection::ExportScriptableSlots);
        if (bus.registerService(serviceName)) {
            return Claim::first;
        }
    }
    return Claim::handedOver;
}

SingleInstance::Claim SingleInstance::claimLockFile() {
    QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (folder.isEmpty()) {
        folder = QDir::tempPath();
    }
    m_lock = std::make_unique<QLockFile>(folder + QStringLiteral("/quilvane.lock"));
    // Never stale while its owner runs, however long that is; a dead owner's lock is taken over.
    m_lock->setStaleLockTime(0);
    return m_lock->tryLock(0) ? Claim::first : Claim::alreadyRunning;
}
