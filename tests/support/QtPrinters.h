// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <ostream>

// GoogleTest prints a type it knows no printer for as its raw bytes, so a failed comparison of two
// QStrings showed a wall of hex. Found by argument-dependent lookup: QString lives in the global
// namespace, so this must too, and every test file that compares QStrings includes this header.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}
