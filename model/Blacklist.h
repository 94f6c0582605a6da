// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "model/App.h"
#include "model/BlacklistSubscriber.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <memory>
#include <vector>

// The list of applications whose network access the user has taken away, kept in the user
// defaults under `userDefaultsKey` as an array of identifiers. Every change goes through block() and
// unblock(), which store the list and then tell every subscriber, in order, synchronously.
// Main thread only; no lock.
//
// When the settings file was damaged and had no sound backup, the stored list is unknown: the list
// starts empty and storedListUnread() is true until the user changes the list, so that the filter
// service keeps the list it has rather than being told to block nothing.
class Blacklist final {
public:
    // Loads the stored list, dropping paths that no longer hold a package or an executable, and
    // writes the pruned list back. A package whose program cannot be found now is kept (see
    // App::initWithStoredIdentifier): the folder it lives in may be missing from this start's PATH.
    explicit Blacklist(const QString& userDefaultsKey);

    Blacklist(const Blacklist&) = delete;
    Blacklist& operator=(const Blacklist&) = delete;

    // The shared block list (key "blacklist"), created and loaded on first use.
    static Blacklist& shared();
    // Tests only: the next shared() creates and loads a fresh instance.
    static void resetShared();

    void block(const AppPtr& app);
    void unblock(const AppPtr& app);
    void save();
    // Takes over the stored list after another program (quilvanectl) changed the settings file:
    // subscribers hear of each entry that went and each that came, and nothing is written back.
    void reloadStored();

    // The stored list could not be read and the user has not changed the list since.
    bool storedListUnread() const { return m_storedListUnread; }
    // Tells the window that the list shown is now the one in force (after a damaged settings file).
    static void reportListInForce();
    // While the stored list is unread: takes the service's list in force (its program names) as the
    // list, stores it and tells the subscribers, so that the first change does not lift blocks the
    // window never showed. Returns whether it did.
    bool adoptListInForce(const QStringList& names);

    const QString& userDefaultsKey() const { return m_userDefaultsKey; }
    const QList<AppPtr>& apps() const { return m_apps; }
    QStringList identifiers() const;
    QStringList executables() const;

    // Subscribers are held strongly and never removed; adding one twice calls it twice.
    const std::vector<std::shared_ptr<BlacklistSubscriber>>& subscribers() const { return m_subscribers; }
    void addSubscriber(std::shared_ptr<BlacklistSubscriber> subscriber);

private:
    void load();
    void userChangedTheList();

    QString m_userDefaultsKey;
    std::vector<std::shared_ptr<BlacklistSubscriber>> m_subscribers;
    QList<AppPtr> m_apps;
    bool m_storedListUnread = false;
};
