// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGTERM (a logout, systemd), SIGINT (Ctrl+C) and SIGHUP (a closed terminal) into an ordinary
// quit of the event loop, so the application leaves the way it does when the last window closes:
// windows closed, pending settings written. A signal that arrives before the loop runs (during the
// first-run import, say) quits it as soon as it starts. One instance per process.
class QuitOnSignal final : public QObject {
    Q_OBJECT
public:
    explicit QuitOnSignal(QObject* parent = nullptr);
    ~QuitOnSignal() override;
    Q_DISABLE_COPY_MOVE(QuitOnSignal)

    // Whether the handlers are in place.
    bool isInstalled() const { return m_notifier != nullptr; }

private:
    void signalArrived();

    QSocketNotifier* m_notifier = nullptr;
};
