#include "filterd/Log.h"

#include <cstring>
#include <unistd.h>

namespace Filterd::Log {

void line(const std::string& message) {
    const std::string text = "quilvane-filterd: " + message + "\n";
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
