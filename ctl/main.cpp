// SPDX-License-Identifier: GPL-3.0-or-later
// quilvanectl: Quilvane's command-line client.

#include "ctl/Quilvanectl.h"

#include <QCoreApplication>
#include <QTextStream>
#include <cstdio>

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quilvanectl"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QUILVANE_VERSION));
    QTextStream out(stdout);
    QTextStream err(stderr);
    QStringList arguments = QCoreApplication::arguments();
    arguments.removeFirst();
    const int code = Quilvanectl(out, err).run(arguments);
    out.flush();
    err.flush();
    return code;
}
