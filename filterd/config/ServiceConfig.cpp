// SPDX-License-Identifier: GPL-3.0-or-later
#include "filterd/config/ServiceConfig.h"

#include "wire/ListFile.h"
#include "wire/UniqueFd.h"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Filterd {
namespace {

std::string_view trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

} // namespace

ServiceConfig ServiceConfig::read(const std::string& path) {
    ServiceConfig config;
    Quilvane::Wire::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW));
    if (!fd) {
        if (errno != ENOENT) {
            config.problems.push_back(path + ":0: cannot be read: " + std::strerror(errno));
        }
        return config;
    }
    struct stat info {};
    std::string why;
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        config.problems.push_back(path + ":0: is not a regular file");
        return config;
    }
    if (!Quilvane::Wire::ownedSafely(info, ::geteuid(), why)) {
        config.problems.push_back(path + ":0: " + why + "; refused, the defaults hold");
        return config;
    }
    std::string text;
    char buffer[4096];
    ssize_t got = 0;
    while ((got = ::read(fd.get(), buffer, sizeof buffer)) > 0 && text.size() < 65536) {
        text.append(buffer, static_cast<std::size_t>(got));
    }
    return parse(text, path);
}

ServiceConfig ServiceConfig::parse(std::string_view text, const std::string& path) {
    ServiceConfig config;
    std::size_t number = 0;
    for (std::size_t start = 0; start <= text.size();) {
        auto end = text.find('\n', start);
        end = end == std::string_view::npos ? text.size() : end;
        const std::string_view line = trimmed(text.substr(start, end - start));
        start = end + 1;
        ++number;
        if (line.empty() || line.front() == '#') {
            continue;
        }
        const auto problem = [&](const std::string& reason) {
            config.problems.push_back(path + ":" + std::to_string(number) + ": " + reason);
        };
        const auto equals = line.find('=');
        if (equals == std::string_view::npos) {
            problem("expected key = value");
            continue;
        }
        const std::string_view key = trimmed(line.substr(0, equals));
        const std::string_view value = trimmed(line.substr(equals + 1));
        if (key == "journal") {
            if (value == "yes" || value == "true" || value == "on" || value == "1") {
                config.journal = true;
            } else if (value == "no" || value == "false" || value == "off" || value == "0") {
                config.journal = false;
            } else {
                problem("journal must be yes or no");
            }
        } else if (key == "journal_rate") {
            std::uint32_t rate = 0;
            const auto result = std::from_chars(value.data(), value.data() + value.size(), rate);
            if (result.ec != std::errc() || result.ptr != value.data() + value.size() || rate == 0) {
                problem("journal_rate must be a number of entries a second above 0");
            } else {
                config.journalRate = rate;
            }
        } else {
            problem("unknown key \"" + std::string(key) + "\"");
        }
    }
    return config;
}

} // namespace Filterd
