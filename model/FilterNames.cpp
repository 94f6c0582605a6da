// SPDX-License-Identifier: GPL-3.0-or-later
#include "model/FilterNames.h"

#include <QSet>
#include <algorithm>
#include <functional>
#include <memory>
#include <unicode/ucol.h>
#include <vector>

namespace {

bool isAscii(const QString& text) {
    return std::all_of(text.cbegin(), text.cend(), [](QChar c) { return c.unicode() < 0x80; });
}

struct CollatorCloser {
    void operator()(UCollator* collator) const { ucol_close(collator); }
};
using Collator = std::unique_ptr<UCollator, CollatorCloser>;

Collator openRootCollator() {
    UErrorCode status = U_ZERO_ERROR;
    Collator collator(ucol_open("", &status));
    return U_SUCCESS(status) ? std::move(collator) : Collator();
}

class NameOrder final {
public:
    NameOrder()
        : m_collator(openRootCollator()) {}

    bool operator()(const QString& a, const QString& b) const {
        if (m_collator == nullptr || (isAscii(a) && isAscii(b))) {
            return QString::compare(a, b, Qt::CaseSensitive) < 0;
        }
        const UCollationResult order =
            ucol_strcoll(m_collator.get(), reinterpret_cast<const UChar*>(a.utf16()), int32_t(a.size()),
                         reinterpret_cast<const UChar*>(b.utf16()), int32_t(b.size()));
        if (order != UCOL_EQUAL) {
            return order == UCOL_LESS;
        }
        // Collation calls some distinct texts equal; keep the result independent of list order.
        return QString::compare(a, b, Qt::CaseSensitive) < 0;
    }

private:
    Collator m_collator;
};

// Byte order for ASCII pairs and collation for the rest do not always agree ("Z" < "a" by bytes,
// but "a" < "é" < "Z" by collation), so the combined order can have cycles, and std::sort with such
// a comparison may run past the end of the range. A merge sort only ever compares elements inside
// the range, and starting from code-point order makes its result depend on the set of names alone.
void mergeSort(std::vector<QString>& names, const std::function<bool(const QString&, const QString&)>& less) {
    std::vector<QString> scratch(names.size());
    for (std::size_t width = 1; width < names.size(); width *= 2) {
        for (std::size_t left = 0; left < names.size(); left += 2 * width) {
            const std::size_t middle = std::min(left + width, names.size());
            const std::size_t right = std::min(left + 2 * width, names.size());
            std::size_t i = left;
            std::size_t j = middle;
            std::size_t out = left;
            while (i < middle && j < right) {
                scratch[out++] = less(names[j], names[i]) ? std::move(names[j++]) : std::move(names[i++]);
            }
            while (i < middle) {
                scratch[out++] = std::move(names[i++]);
            }
            while (j < right) {
                scratch[out++] = std::move(names[j++]);
            }
        }
        names.swap(scratch);
    }
}

} // namespace

QStringList companionProcesses(const QString& executable) {
    if (executable == QLatin1String("Safari")) {
        return {QStringLiteral("com.apple.WebKit.Networking"), QStringLiteral("com.apple.WebKit.WebContent"),
                QStringLiteral("com.apple.Safari.SearchHelper")};
    }
    return {};
}

QStringList filterNames(const QStringList& executables) {
    QStringList all = executables;
    for (const QString& executable : executables) {
        all += companionProcesses(executable);
    }

    std::vector<QString> names;
    QSet<QString> seen;
    for (const QString& name : all) {
        if (!seen.contains(name)) {
            seen.insert(name);
            names.push_back(name);
        }
    }

    std::sort(names.begin(), names.end(), [](const QString& a, const QString& b) {
        return QString::compare(a, b, Qt::CaseSensitive) < 0;
    });
    // For ASCII names the order below is byte order, which the sort above has already given.
    if (!std::all_of(names.cbegin(), names.cend(), isAscii)) {
        const NameOrder order;
        mergeSort(names, std::cref(order));
    }
    return QStringList(names.begin(), names.end());
}
