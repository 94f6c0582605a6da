// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "model/App.h"

#include <QIcon>
#include <QString>

// One row of the firewall table: a blocked app with the picture and the detail line shown for it.
// An app with a path shows that file's icon and the path, and says so when its program cannot be
// found; a bare app shows the generic process image and says that every process of that name is
// blocked.
//
// A block list can hold a hundred thousand entries while a window shows a few dozen rows, so the
// icon is made when a row asks for it, not with the row: recent file icons are kept in a small
// shared cache, and every bare app shares one process image.
class BlockedApp final {
public:
    explicit BlockedApp(AppPtr app);

    const AppPtr& app() const { return m_app; }
    // A null icon when there is none.
    QIcon icon() const;
    const QString& info() const { return m_info; }

private:
    AppPtr m_app;
    QString m_info;
};
