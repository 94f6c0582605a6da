// SPDX-License-Identifier: GPL-3.0-or-later
#include "kernel/Connection.h"

#include <QHash>
#include <QLocale>
#include <QMutex>
#include <QMutexLocker>
#include <QTimeZone>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>
#include <unicode/udat.h>
#include <unicode/uloc.h>

namespace {

// A busy monitor keeps every connection it sees; the same host, port and second repeat endlessly,
// so they share one string each. The tables are bounded: when one fills up it starts afresh, which
// only costs sharing, never correctness.
constexpr qsizetype kInternLimit = 4096;

template <typename Key> class InternTable final {
public:
    QString intern(const Key& key, const std::function<QString()>& make) {
        QMutexLocker lock(&m_mutex);
        if (const auto found = m_table.constFind(key); found != m_table.cend()) {
            return *found;
        }
        if (m_table.size() >= kInternLimit) {
            m_table.clear();
        }
        return *m_table.insert(key, make());
    }

private:
    QMutex m_mutex;
    QHash<Key, QString> m_table;
};

InternTable<QString>& hostnames() {
    static InternTable<QString> table;
    return table;
}

InternTable<int>& ports() {
    static InternTable<int> table;
    return table;
}

QByteArray icuLocaleId(const QString& bcp47) {
    char id[ULOC_FULLNAME_CAPACITY] = {};
    UErrorCode status = U_ZERO_ERROR;
    uloc_forLanguageTag(bcp47.toUtf8().constData(), id, sizeof id, nullptr, &status);
    return U_SUCCESS(status) ? QByteArray(id) : QByteArray();
}

// One medium-style time formatter per thread. The text is made once per second of arrival and
// reused for every connection in that second. Asking for the locale's name and the system's time
// zone costs more than the rest of a record, so that is done only when a new text is made, or when
// the cheap signs of a change (another default locale, another $TZ) show; a change thus shows in the
// very next connection.
class TimeFormatter final {
public:
    TimeFormatter() = default;
    TimeFormatter(const TimeFormatter&) = delete;
    TimeFormatter& operator=(const TimeFormatter&) = delete;
    ~TimeFormatter() {
        if (m_format != nullptr) {
            udat_close(m_format);
        }
    }

    QString format(std::time_t now) {
        const QLocale current;
        const char* tz = std::getenv("TZ");
        const std::string_view tzVariable = tz != nullptr ? tz : "";
        if (m_format != nullptr && now == m_second && current == m_currentLocale &&
            tzVariable == m_tzVariable) {
            return m_text;
        }
        m_currentLocale = current;
        m_tzVariable = tzVariable;
        const QString locale = current.bcp47Name();
        const QByteArray zone = QTimeZone::systemTimeZoneId();
        if (m_format == nullptr || locale != m_locale || zone != m_zone) {
            rebuild(locale, zone);
        }
        m_second = now;
        m_text = formatDate(static_cast<UDate>(now) * 1000.0);
        return m_text;
    }

private:
    void rebuild(const QString& locale, const QByteArray& zone) {
        if (m_format != nullptr) {
            udat_close(m_format);
            m_format = nullptr;
        }
        m_locale = locale;
        m_zone = zone;
        const QByteArray localeId = icuLocaleId(locale);
        const QString zoneText = QString::fromLatin1(zone);
        UErrorCode status = U_ZERO_ERROR;
        // An empty zone leaves the choice to ICU's own detection of the host's zone.
        m_format = udat_open(UDAT_MEDIUM, UDAT_NONE, localeId.isEmpty() ? nullptr : localeId.constData(),
                             zone.isEmpty() ? nullptr : reinterpret_cast<const UChar*>(zoneText.utf16()),
                             zone.isEmpty() ? 0 : static_cast<int32_t>(zoneText.size()), nullptr, 0, &status);
        if (U_FAILURE(status)) {
            m_format = nullptr;
        }
    }

    QString formatDate(UDate date) const {
        if (m_format == nullptr) {
            return {};
        }
        UChar buffer[64];
        UErrorCode status = U_ZERO_ERROR;
        const int32_t length = udat_format(m_format, date, buffer, 64, nullptr, &status);
        if (U_FAILURE(status) || length > 64) {
            return {};
        }
        return QString(reinterpret_cast<const QChar*>(buffer), length);
    }

    UDateFormat* m_format = nullptr;
    QLocale m_currentLocale;
    std::string m_tzVariable;
    QString m_locale;
    QByteArray m_zone;
    std::time_t m_second = -1;
    QString m_text;
};

QString timeText(std::time_t when) {
    thread_local TimeFormatter formatter;
    return formatter.format(when);
}

} // namespace

QString Connection::timeString(std::time_t when) {
    return timeText(when);
}

Connection::Connection(QString time, QString hostname, QString port, HostOrigin origin)
    : m_time(std::move(time))
    , m_hostname(std::move(hostname))
    , m_port(std::move(port))
    , m_hostOrigin(origin) {}

ConnectionPtr Connection::initWithHostname(const QString& hostname, int port, HostOrigin origin) {
    QString host = hostname.isEmpty() ? QString() : hostnames().intern(hostname, [&] { return hostname; });
    QString portText = ports().intern(port, [port] { return QString::number(port); });
    return std::make_shared<const Connection>(timeText(std::time(nullptr)), std::move(host),
                                              std::move(portText), origin);
}
