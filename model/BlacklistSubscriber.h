// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "model/App.h"

#include <QList>

// Observer of the block list. A subscriber appends itself to Blacklist::subscribers and then calls
// its own blacklistLoaded() with the current list; the block list itself only sends the other two,
// synchronously, on the main thread, in subscription order.
class BlacklistSubscriber {
public:
    virtual ~BlacklistSubscriber() = default;

    // The app has been blocked (or a block of it was requested again).
    virtual void appBlocked(const AppPtr& app) = 0;
    // The app has been unblocked (or an unblock was requested although it was not listed).
    virtual void appUnblocked(const AppPtr& app) = 0;
    // The complete current list.
    virtual void blacklistLoaded(const QList<AppPtr>& apps) = 0;
};
