// SPDX-License-Identifier: GPL-3.0-or-later
#include "ctl/RecordJson.h"

#include "wire/RecordExtension.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <netdb.h>

using namespace Quilvane::Wire;

QByteArray RecordJson::line(const RecordBuffer& record, std::size_t length, qint64 msecsSinceEpoch) {
    const std::uint32_t command = recordCommand(record);
    if (command > 2) {
        return {};
    }
    char host[NI_MAXHOST] = {};
    // Numeric only: a watcher must never wait on a name server.
    const auto numeric = [](const sockaddr* a, socklen_t l, char* h, socklen_t hl, char* s, socklen_t sl,
                            int) {
        return ::getnameinfo(a, l, h, hl, s, sl, NI_NUMERICHOST | NI_NUMERICSERV);
    };
    if (recordHostname(record, host, sizeof host, numeric) != 0) {
        return {};
    }
    QJsonObject object{
        {QStringLiteral("time"),
         QDateTime::fromMSecsSinceEpoch(msecsSinceEpoch, Qt::UTC).toString(Qt::ISODateWithMs)},
        {QStringLiteral("direction"), command == 0 ? QStringLiteral("incoming") : QStringLiteral("outgoing")},
        {QStringLiteral("verdict"), command == 2 ? QStringLiteral("refused") : QStringLiteral("allowed")},
        {QStringLiteral("pid"), static_cast<qint64>(recordPid(record))},
        {QStringLiteral("remote_addr"), QString::fromLatin1(host)},
        {QStringLiteral("remote_port"), static_cast<int>(recordPort(record))},
    };
    if (const auto identity = recordExtension(record, length)) {
        object.insert(QStringLiteral("uid"), static_cast<qint64>(identity->uid));
        object.insert(QStringLiteral("exe"), QString::fromStdString(identity->executable));
        if (!identity->script.empty()) {
            object.insert(QStringLiteral("script"), QString::fromStdString(identity->script));
        }
        if (!identity->host.empty()) {
            object.insert(QStringLiteral("host"), QString::fromStdString(identity->host));
        }
    }
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}
