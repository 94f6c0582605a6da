// SPDX-License-Identifier: GPL-3.0-or-later
#include "filterd/Log.h"

#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace Filterd::Log {

std::string escaped(std::string_view message) {
    std::string text;
    text.reserve(message.size());
    for (const char c : message) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f || c == '\\') {
            char code[5];
            std::snprintf(code, sizeof code, "\\x%02x", byte);
            text += code;
        } else {
            text += c;
        }
    }
    return text;
}

void line(const std::string& message) {
    const std::string text = "quilvane-filterd: " + escaped(message) + "\n";
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(STDERR_FILENO, text.data() + written, text.size() - written);
        if (n <= 0) {
            return;
        }
        written += static_cast<std::size_t>(n);
    }
}

void error(const std::string& message, int error) {
    line(message + ": " + std::strerror(error));
}

} // namespace Filterd::Log
