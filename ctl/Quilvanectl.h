// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <QStringList>
#include <QTextStream>

// quilvanectl: the block list and the filter service from a terminal, for machines without a
// window and for scripts. The user's own list lives in the same settings file as the window's and
// is read and written through the same model code (Blacklist, UserDefaults), so the two never
// disagree; a running window watches the file and follows. The service is reached as the calling
// user, who sees only what the window would show them.
class Quilvanectl final {
public:
    // Exit codes as other Debian tools use them.
    enum Exit { ok = 0, failed = 1, usage = 2 };

    Quilvanectl(QTextStream& out, QTextStream& err);
    int run(const QStringList& arguments);

    static QString help();

private:
    int status();
    int list(bool machine);
    int block(const QStringList& targets, bool add);
    int watch();
    // Sends the list as the window would; false (with a note) when the service cannot be reached.
    bool sendListToService();

    QTextStream& m_out;
    QTextStream& m_err;
};
