// SPDX-License-Identifier: GPL-3.0-or-later
#include "model/RefusedAttempts.h"

RefusedAttempts& RefusedAttempts::shared() {
    static auto* attempts = new RefusedAttempts; // never destroyed: rows may still read it at exit
    return *attempts;
}

void RefusedAttempts::record(const QString& identifierKey, const QDateTime& when) {
    Tally& tally = m_tallies[identifierKey];
    ++tally.count;
    tally.last = when;
    Q_EMIT tallyChanged(identifierKey);
}

void RefusedAttempts::clearAll() {
    m_tallies.clear();
}
