// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QLockFile>
#include <QObject>
#include <QString>
#include <memory>
#include <optional>

// One window per user session, the way desktop applications keep it: the first start owns the
// session bus name com.quilvaneapp.Quilvane and answers its Activate call by asking for its window
// to come to the front; a later start makes that call and ends. Without a session bus, a lock file
// in $XDG_RUNTIME_DIR tells a later start that one is running (it cannot be brought forward then).
class SingleInstance final : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.quilvaneapp.Quilvane")

public:
    static constexpr const char* kServiceName = "com.quilvaneapp.Quilvane";
    static constexpr const char* kObjectPath = "/com/quilvaneapp/Quilvane";

    enum class Claim {
        first,          // this start runs the application
        handedOver,     // the running one was asked to come to the front
        alreadyRunning, // one runs, but could not be reached (no session bus)
    };

    explicit SingleInstance(QObject* parent = nullptr);
    ~SingleInstance() override;

    Claim claim();

public Q_SLOTS:
    // Called over the session bus by a later start.
    Q_SCRIPTABLE void Activate();

Q_SIGNALS:
    void activationRequested();

private:
    std::optional<Claim> claimOnSessionBus();
    Claim claimLockFile();

    std::unique_ptr<QLockFile> m_lock;
};
