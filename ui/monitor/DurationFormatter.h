// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QLocale>
#include <QString>
#include <memory>
#include <optional>
#include <unicode/uversion.h>

U_NAMESPACE_BEGIN
class MeasureFormat;
U_NAMESPACE_END

// Spells out the length of a period in the user's language with ICU ("5 minutes", "1 Stunde"): only
// its largest non-zero unit, chosen from hours, minutes and seconds. Days are not used, so a long
// period stays in hours ("30 hours"); smaller units are dropped, not rounded ("1 hour" for 90
// minutes). A zero-length period reads "0 seconds".
class DurationFormatter final {
public:
    explicit DurationFormatter(const QLocale& locale = QLocale());
    ~DurationFormatter();
    DurationFormatter(const DurationFormatter&) = delete;
    DurationFormatter& operator=(const DurationFormatter&) = delete;

    const QLocale& locale() const { return m_locale; }

    // Absent when ICU cannot format for the locale. Negative lengths count as zero.
    std::optional<QString> stringFromTimeInterval(qint64 seconds) const;

private:
    QLocale m_locale;
    std::unique_ptr<icu::MeasureFormat> m_format;
};
