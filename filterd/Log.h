// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>
#include <string_view>

// Log lines of the service: one line each, on standard error, prefixed with the program name, so
// that journald and a terminal show the same thing. A whole line goes out in one write(2), so
// lines of helper processes never interleave mid-line.
namespace Filterd::Log {

// Control characters and backslashes in `message` are written as \xNN, so that a program path
// holding a newline cannot forge a line of its own.
void line(const std::string& message);

// `message` with its control characters and backslashes written as \xNN.
std::string escaped(std::string_view message);

// The message with ": " and strerror(error) appended.
void error(const std::string& message, int error);

} // namespace Filterd::Log
