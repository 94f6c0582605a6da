// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "kernel/Connection.h"
#include "model/App.h"

// Observer of the filter client: told of every connection the filter reports, always on the main
// thread, in subscription order.
class TrafficSubscriber {
public:
    virtual ~TrafficSubscriber() = default;

    virtual void connectionMade(const ConnectionPtr& connection, const AppPtr& app) = 0;
};
