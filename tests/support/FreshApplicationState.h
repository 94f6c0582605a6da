// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QString>
#include <functional>

class UserDefaults;

// The application's shared state made fresh for one test: empty settings with the defaults the
// test registers, a new block list and filter client, and $QUILVANE_CONTROL_DIR naming a folder
// without a filter in it, so that nothing reaches a filter service that may run on the machine
// unless the test starts its own fake one. Pending writes of an earlier test land before the
// settings file is removed, so that removing it really empties it. Going away, it drops the filter
// client and restores $QUILVANE_CONTROL_DIR.
class FreshApplicationState final {
public:
    // `folder` is a temporary folder of the test; the control folder is a missing one inside it.
    FreshApplicationState(const QString& folder, const std::function<void(UserDefaults&)>& registerDefaults);
    ~FreshApplicationState();
    FreshApplicationState(const FreshApplicationState&) = delete;
    FreshApplicationState& operator=(const FreshApplicationState&) = delete;

    QString controlDirectory() const { return m_controlDirectory; }

private:
    QString m_controlDirectory;
    bool m_hadControlDirectory = false;
    QByteArray m_previousControlDirectory;
};
