// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/firewall/BlockByPath.h"

#include "model/App.h"
#include "model/Blacklist.h"

bool blockByPath(const QString& path) {
    const AppPtr app = App::initWithPath(path);
    if (!app) {
        return false;
    }
    Blacklist::shared().block(app);
    return true;
}
