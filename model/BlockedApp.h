#pragma once

#include "model/App.h"

#include <QIcon>
#include <QString>

// One row of the firewall table: a blocked app with the picture and the detail line shown for it.
// An app with a path shows that file's icon and the path; a bare app shows the generic process
// image and says that every process of that name is blocked.
class BlockedApp final {
public:
    explicit BlockedApp(AppPtr app);

    const AppPtr& app() const { return m_app; }
    // A null icon when there is none.
    const QIcon& icon() const { return m_icon; }
    const QString& info() const { return m_info; }

private:
    AppPtr m_app;
    QIcon m_icon;
    QString m_info;
};
