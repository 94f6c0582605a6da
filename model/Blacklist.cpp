// SPDX-License-Identifier: GPL-3.0-or-later
#include "model/Blacklist.h"

#include "model/ListEnforcement.h"
#include "model/Notices.h"
#include "model/SettingsKeys.h"
#include "platform/UserDefaults.h"

#include <QMutex>
#include <QMutexLocker>
#include <algorithm>
#include <cstdio>
#include <thread>

namespace {

QMutex s_sharedMutex;
Blacklist* s_shared = nullptr;
// Never destroyed: subscribers are QObjects that must outlive nothing but the process.
std::vector<Blacklist*>* const s_retired = new std::vector<Blacklist*>; // never freed either

qsizetype indexOfIdentifier(const QList<AppPtr>& apps, const App& app) {
    for (qsizetype i = 0; i < apps.size(); ++i) {
        if (apps.at(i)->hasSameIdentifier(app)) {
            return i;
        }
    }
    return -1;
}

void printWarning(const QString& identifier) {
    const QByteArray line = QByteArrayLiteral("Warning: tried to remove ") + identifier.toUtf8() +
                            QByteArrayLiteral(" even though it wasn't blacklisted\n");
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stdout);
    std::fflush(stdout);
}

// Says in plain words what became of a damaged settings file, for the window's notice bar.
void reportSettingsFile(const UserDefaults& defaults) {
    const UserDefaults::LoadReport& report = defaults.loadReport();
    const QString key = QStringLiteral("settings");
    const QString moved = report.damagedCopy.isEmpty()
                              ? QStringLiteral("It could not be moved aside, so changes will not be saved.")
                              : QStringLiteral("The damaged file was kept as %1.").arg(report.damagedCopy);
    switch (report.state) {
    case UserDefaults::LoadState::fine:
        Notices::shared().clear(key);
        return;
    case UserDefaults::LoadState::restored:
        Notices::shared().set(key,
                              QStringLiteral("The settings file %1 was damaged (%2). Your settings and "
                                             "block list were restored from the backup %3. %4")
                                  .arg(defaults.filePath(), report.reason, defaults.backupPath(), moved));
        return;
    case UserDefaults::LoadState::damaged:
        Notices::shared().set(
            key, QStringLiteral("The block list could not be read: the settings file %1 is damaged (%2) and "
                                "there is no usable backup. %3 The filter service keeps the list it had "
                                "until you change the block list or the firewall switch.")
                     .arg(defaults.filePath(), report.reason, moved));
        return;
    }
}

// Resolving a path waits on the file system (a few system calls each), so a long stored list is
// resolved by several threads; the result keeps the stored order.
std::vector<AppPtr> resolveAll(const QStringList& identifiers) {
    constexpr qsizetype perThread = 2'000;
    std::vector<AppPtr> apps(static_cast<std::size_t>(identifiers.size()));
    const auto resolveRange = [&](qsizetype first, qsizetype end) {
        for (qsizetype i = first; i < end; ++i) {
            apps[static_cast<std::size_t>(i)] = App::initWithStoredIdentifier(identifiers.at(i));
        }
    };
    const qsizetype threads = std::clamp<qsizetype>(identifiers.size() / perThread, 1,
                                                    std::max(4u, std::thread::hardware_concurrency()));
    std::vector<std::thread> workers;
    const qsizetype slice = (identifiers.size() + threads - 1) / threads;
    for (qsizetype t = 1; t < threads; ++t) {
        workers.emplace_back(resolveRange, t * slice, std::min(identifiers.size(), (t + 1) * slice));
    }
    resolveRange(0, std::min(identifiers.size(), slice));
    for (std::thread& worker : workers) {
        worker.join();
    }
    return apps;
}

} // namespace

Blacklist::Blacklist(const QString& userDefaultsKey)
    : m_userDefaultsKey(userDefaultsKey) {
    load();
}

Blacklist& Blacklist::shared() {
    QMutexLocker locker(&s_sharedMutex);
    if (s_shared == nullptr) {
        s_shared = new Blacklist(SettingsKeys::blacklist);
    }
    return *s_shared;
}

void Blacklist::resetShared() {
    QMutexLocker locker(&s_sharedMutex);
    if (s_shared != nullptr) {
        s_retired->push_back(s_shared);
        s_shared = nullptr;
    }
}

void Blacklist::load() {
    const UserDefaults& defaults = UserDefaults::standard();
    reportSettingsFile(defaults);
    m_storedListUnread = defaults.loadReport().state == UserDefaults::LoadState::damaged;
    if (m_storedListUnread) {
        QObject::connect(&ListEnforcement::shared(), &ListEnforcement::listInForceReported,
                         &ListEnforcement::shared(), [this](bool known, const QStringList& names) {
                             if (known && this == s_shared) {
                                 adoptListInForce(names);
                             }
                         });
    }
    const std::optional<QStringList> stored = defaults.arrayForKey(m_userDefaultsKey);
    if (!stored) {
        return; // nothing stored, or not an array of texts: leave the value as it is
    }
    const std::vector<AppPtr> resolved = resolveAll(*stored);
    m_apps.reserve(stored->size());
    for (const AppPtr& app : resolved) {
        if (app) {
            m_apps.append(app);
        }
    }
    save();
}

void Blacklist::reloadStored() {
    const std::optional<QStringList> stored = UserDefaults::standard().arrayForKey(m_userDefaultsKey);
    const std::vector<AppPtr> resolved = resolveAll(stored.value_or(QStringList()));
    QList<AppPtr> apps;
    for (const AppPtr& app : resolved) {
        if (app && indexOfIdentifier(apps, *app) < 0) {
            apps.append(app);
        }
    }
    QList<AppPtr> gone;
    for (const AppPtr& app : m_apps) {
        if (indexOfIdentifier(apps, *app) < 0) {
            gone.append(app);
        }
    }
    QList<AppPtr> came;
    for (const AppPtr& app : apps) {
        if (indexOfIdentifier(m_apps, *app) < 0) {
            came.append(app);
        }
    }
    m_apps = apps;
    m_storedListUnread = false;
    for (const auto& subscriber : m_subscribers) {
        for (const AppPtr& app : gone) {
            subscriber->appUnblocked(app);
        }
        for (const AppPtr& app : came) {
            subscriber->appBlocked(app);
        }
    }
}

void Blacklist::block(const AppPtr& app) {
    userChangedTheList();
    if (indexOfIdentifier(m_apps, *app) < 0) {
        m_apps.append(app);
        save();
    }
    for (const auto& subscriber : m_subscribers) {
        subscriber->appBlocked(app);
    }
}

void Blacklist::unblock(const AppPtr& app) {
    userChangedTheList();
    const qsizetype index = indexOfIdentifier(m_apps, *app);
    if (index >= 0) {
        m_apps.removeAt(index);
        save();
    } else {
        printWarning(app->identifier());
    }
    for (const auto& subscriber : m_subscribers) {
        subscriber->appUnblocked(app);
    }
}

void Blacklist::userChangedTheList() {
    if (m_storedListUnread) {
        m_storedListUnread = false;
        reportListInForce();
    }
}

bool Blacklist::adoptListInForce(const QStringList& names) {
    if (!m_storedListUnread) {
        return false;
    }
    m_storedListUnread = false;
    m_apps.clear();
    for (const QString& name : names) {
        // The service knows program names only: each comes back as a block of that name.
        if (AppPtr app = App::initWithIdentifier(name); app && indexOfIdentifier(m_apps, *app) < 0) {
            m_apps.append(app);
        }
    }
    save();
    Notices::shared().set(QStringLiteral("settings"),
                          QStringLiteral("The settings file %1 was damaged and had no usable backup, so the "
                                         "block list shown is the one the filter service enforces, taken "
                                         "from the service (%2 names).")
                              .arg(UserDefaults::standard().filePath())
                              .arg(m_apps.size()));
    for (const auto& subscriber : m_subscribers) {
        subscriber->blacklistLoaded(m_apps);
    }
    return true;
}

void Blacklist::reportListInForce() {
    const UserDefaults& defaults = UserDefaults::standard();
    Notices::shared().set(QStringLiteral("settings"),
                          QStringLiteral("The settings file %1 was damaged and had no usable backup, so the "
                                         "block list started empty. From your last change on, the list shown "
                                         "is the one the filter service enforces.")
                              .arg(defaults.filePath()));
}

void Blacklist::save() {
    UserDefaults::standard().setValue(QVariant(identifiers()), m_userDefaultsKey);
}

QStringList Blacklist::identifiers() const {
    QStringList list;
    list.reserve(m_apps.size());
    for (const AppPtr& app : m_apps) {
        list.append(app->identifier());
    }
    return list;
}

QStringList Blacklist::executables() const {
    QStringList list;
    list.reserve(m_apps.size());
    for (const AppPtr& app : m_apps) {
        list.append(app->executable());
    }
    return list;
}

void Blacklist::addSubscriber(std::shared_ptr<BlacklistSubscriber> subscriber) {
    m_subscribers.push_back(std::move(subscriber));
}
