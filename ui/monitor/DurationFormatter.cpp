// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/monitor/DurationFormatter.h"

#include <algorithm>
#include <unicode/locid.h>
#include <unicode/measfmt.h>
#include <unicode/measunit.h>
#include <unicode/measure.h>
#include <unicode/unistr.h>

namespace {

icu::Locale icuLocale(const QLocale& locale) {
    UErrorCode status = U_ZERO_ERROR;
    icu::Locale result = icu::Locale::forLanguageTag(locale.bcp47Name().toStdString(), status);
    return U_SUCCESS(status) ? result : icu::Locale::getRoot();
}

QString toQString(const icu::UnicodeString& text) {
    return QString(reinterpret_cast<const QChar*>(text.getBuffer()), text.length());
}

} // namespace

DurationFormatter::DurationFormatter(const QLocale& locale)
    : m_locale(locale) {
    UErrorCode status = U_ZERO_ERROR;
    auto format = std::make_unique<icu::MeasureFormat>(icuLocale(locale), UMEASFMT_WIDTH_WIDE, status);
    if (U_SUCCESS(status)) {
        m_format = std::move(format);
    }
}

DurationFormatter::~DurationFormatter() = default;

std::optional<QString> DurationFormatter::stringFromTimeInterval(qint64 seconds) const {
    if (!m_format) {
        return std::nullopt;
    }
    seconds = std::max<qint64>(seconds, 0);
    UErrorCode status = U_ZERO_ERROR;
    icu::MeasureUnit* unit = nullptr;
    qint64 amount = 0;
    if (seconds >= 3600) {
        unit = icu::MeasureUnit::createHour(status);
        amount = seconds / 3600;
    } else if (seconds >= 60) {
        unit = icu::MeasureUnit::createMinute(status);
        amount = seconds / 60;
    } else {
        unit = icu::MeasureUnit::createSecond(status);
        amount = seconds;
    }
    // The Measure adopts the unit, also when its construction fails.
    const icu::Measure measure(icu::Formattable(static_cast<int64_t>(amount)), unit, status);
    if (U_FAILURE(status)) {
        return std::nullopt;
    }
    icu::UnicodeString text;
    icu::FieldPosition position(icu::FieldPosition::DONT_CARE);
    m_format->formatMeasures(&measure, 1, text, position, status);
    if (U_FAILURE(status) || text.isEmpty()) {
        return std::nullopt;
    }
    return toQString(text);
}
