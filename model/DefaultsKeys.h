#pragma once

#include <QString>

// The user-defaults keys that more than one part of the application reads or writes. Each key is
// spelled here once, so the switch that stores a value and the code that acts on it cannot drift.
namespace DefaultsKeys {

// Boolean, registered true at start-up: whether the block list is sent to the filter at all.
inline QString enableFirewall() {
    return QStringLiteral("enableFirewall");
}

// Boolean, registered false at start-up: set once the first-run import of an older list has run.
inline QString firstRunCompleted() {
    return QStringLiteral("firstRunCompleted");
}

} // namespace DefaultsKeys
