#pragma once

#include <string>

// Log lines of the service: one line each, on standard error, prefixed with the program name, so
// that journald and a terminal show the same thing. A whole line goes out in one write(2), so
// lines of helper processes never interleave mid-line.
namespace Filterd::Log {

void line(const std::string& message);

// The message with ": " and strerror(error) appended.
void error(const std::string& message, int error);

} // namespace Filterd::Log
