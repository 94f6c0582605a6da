// SPDX-License-Identifier: GPL-3.0-or-later
#include "model/FilterCommand.h"

#include "model/Blacklist.h"
#include "model/FilterNames.h"
#include "model/Notices.h"
#include "model/SettingsKeys.h"
#include "wire/KextCommandFrame.h"
#include "wire/ServiceLimits.h"

#include <QLocale>
#include <QStringEncoder>
#include <optional>
#include <string>

namespace {

const QString tooLongKey = QStringLiteral("blocklist-too-long");
const QString unenforceableKey = QStringLiteral("blocklist-unenforceable");

// The name as the service would receive it; nothing when the service could not take it.
std::optional<QByteArray> sendableName(const QString& name) {
    QStringEncoder encoder(QStringEncoder::Utf8, QStringConverter::Flag::Stateless);
    QByteArray bytes = encoder.encode(name);
    if (encoder.hasError() || bytes.contains('\0') ||
        static_cast<std::size_t>(bytes.size()) > Quilvane::Wire::kMaxNameLength) {
        return std::nullopt;
    }
    return bytes;
}

// An identifier fit to show: a NUL or a lone surrogate would cut or garble the line.
QString printable(const QString& identifier) {
    QString shown;
    for (const QChar c : identifier) {
        if (c.isNull()) {
            shown += QStringLiteral("\\0");
        } else if (c.isSurrogate()) {
            shown += QChar(QChar::ReplacementCharacter);
        } else {
            shown += c;
        }
    }
    return shown;
}

} // namespace

FilterCommand FilterCommand::forBlacklist(const Blacklist* blacklist, bool firewallEnabled) {
    FilterCommand command;
    if (blacklist != nullptr && blacklist->storedListUnread()) {
        if (!UserDefaults::standard().wasChangedSinceLoad(SettingsKeys::enableFirewall)) {
            command.m_replacesServiceList = false;
            command.m_awaitingUserChange = true;
            return command;
        }
        Blacklist::reportListInForce(); // the switch was the user's change
    }
    if (blacklist == nullptr || !firewallEnabled) {
        return command; // the empty command
    }

    QStringList executables;
    for (const AppPtr& app : blacklist->apps()) {
        if (sendableName(app->executable())) {
            executables.append(app->executable());
        } else {
            command.m_unenforceable.append(app->identifier());
        }
    }
    std::vector<std::string> names;
    for (const QString& name : filterNames(executables)) {
        const QByteArray encoded = *sendableName(name);
        // The service ignores an empty name, so it does not count against the limit.
        command.m_nameCount += encoded.isEmpty() ? 0 : 1;
        names.push_back(encoded.toStdString());
    }
    // Every name was checked to be free of NUL bytes, so only an empty list encodes to nothing.
    command.m_payload = Quilvane::Wire::encodeProcessNames(names).value_or(std::vector<std::uint8_t>());
    if (command.m_nameCount > Quilvane::Wire::kMaxBlockListNames ||
        command.m_payload.size() > Quilvane::Wire::kMaxCommandPayload) {
        command.m_replacesServiceList = false;
        command.m_payload.clear();
    }
    return command;
}

void FilterCommand::report() const {
    Notices& notices = Notices::shared();
    if (tooLong()) {
        const QLocale locale;
        notices.set(tooLongKey,
                    QStringLiteral("The block list is too long for the filter service: it has %1 program "
                                   "names, and the service takes at most %2 names (%3 bytes). The list was "
                                   "not sent, so the latest changes are not in force; remove entries to "
                                   "send it.")
                        .arg(locale.toString(qulonglong(m_nameCount)),
                             locale.toString(qulonglong(Quilvane::Wire::kMaxBlockListNames)),
                             locale.toString(qulonglong(Quilvane::Wire::kMaxCommandPayload))));
    } else if (!m_awaitingUserChange) {
        notices.clear(tooLongKey);
    }
    if (m_unenforceable.isEmpty()) {
        if (!m_awaitingUserChange) {
            notices.clear(unenforceableKey);
        }
        return;
    }
    QStringList shown;
    for (const QString& identifier : m_unenforceable) {
        shown.append(QStringLiteral("“") + printable(identifier) + QStringLiteral("”"));
    }
    notices.set(unenforceableKey,
                QStringLiteral("Cannot be enforced, so not blocked: %1. The program name cannot be sent to "
                               "the filter service (it holds a NUL byte, text that UTF-8 cannot carry, or "
                               "more than %2 bytes). The other entries are blocked.")
                    .arg(shown.join(QStringLiteral(", ")), QString::number(Quilvane::Wire::kMaxNameLength)));
}
