// SPDX-License-Identifier: GPL-3.0-or-later
#include "wire/ListFile.h"

#include "wire/ServiceLimits.h"
#include "wire/UniqueFd.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Quilvane::Wire {
namespace {

std::string_view trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// Strict UTF-8: no overlong forms, no surrogates, nothing past U+10FFFF.
bool isUtf8(std::string_view text) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char lead = bytes[i];
        std::size_t extra = 0;
        std::uint32_t code = 0;
        if (lead < 0x80) {
            ++i;
            continue;
        }
        if (lead >= 0xc2 && lead <= 0xdf) {
            extra = 1;
            code = lead & 0x1f;
        } else if (lead >= 0xe0 && lead <= 0xef) {
            extra = 2;
            code = lead & 0x0f;
        } else if (lead >= 0xf0 && lead <= 0xf4) {
            extra = 3;
            code = lead & 0x07;
        } else {
            return false;
        }
        if (i + extra >= text.size()) {
            return false;
        }
        for (std::size_t k = 1; k <= extra; ++k) {
            if ((bytes[i + k] & 0xc0) != 0x80) {
                return false;
            }
            code = (code << 6) | (bytes[i + k] & 0x3f);
        }
        if ((extra == 2 && (code < 0x800 || (code >= 0xd800 && code <= 0xdfff))) ||
            (extra == 3 && (code < 0x10000 || code > 0x10ffff))) {
            return false;
        }
        i += extra + 1;
    }
    return true;
}

} // namespace

bool ownedSafely(const struct stat& info, uid_t trustedOwner, std::string& why) {
    if (info.st_uid != 0 && info.st_uid != trustedOwner) {
        why = "is owned by uid " + std::to_string(info.st_uid) + ", not root";
        return false;
    }
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        why = "is writable by group or others";
        return false;
    }
    return true;
}

std::string ListFileProblem::text() const {
    return file + ":" + std::to_string(line) + ": " + reason;
}

bool ListFile::nameOfLine(std::string_view line, std::string& name, std::string& reason) {
    for (const char c : line) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            reason = "holds a control character";
            return false;
        }
    }
    if (!isUtf8(line)) {
        reason = "is not UTF-8";
        return false;
    }
    const auto slash = line.rfind('/');
    const std::string_view file = slash == std::string_view::npos ? line : line.substr(slash + 1);
    if (file.empty()) {
        reason = "ends in a slash: no program name";
        return false;
    }
    if (file == "." || file == "..") {
        reason = "\"" + std::string(file) + "\" is no program name";
        return false;
    }
    if (file.size() > kMaxNameLength) {
        reason = "a program name of " + std::to_string(file.size()) + " bytes is longer than " +
                 std::to_string(kMaxNameLength);
        return false;
    }
    name.assign(file);
    return true;
}

ListFile ListFile::parse(std::string_view text, const std::string& fileName) {
    ListFile result;
    std::size_t number = 0;
    for (std::size_t start = 0; start <= text.size();) {
        auto end = text.find('\n', start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        const std::string_view line = trimmed(text.substr(start, end - start));
        ++number;
        start = end + 1;
        if (line.empty() || line.front() == '#') {
            continue;
        }
        std::string name;
        std::string reason;
        if (nameOfLine(line, name, reason)) {
            result.m_names.push_back(std::move(name));
        } else {
            result.m_problems.push_back({fileName, number, reason});
        }
    }
    if (!result.m_problems.empty()) {
        result.m_names.clear();
    }
    return result;
}

ListFile ListFile::read(const std::string& path) {
    return read(path, std::nullopt);
}

ListFile ListFile::read(const std::string& path, std::optional<uid_t> trustedOwner) {
    ListFile result;
    const auto fail = [&](std::string reason) {
        result.m_problems.push_back({path, 0, std::move(reason)});
        return result;
    };
    // O_NONBLOCK: a FIFO named *.list must not hang the reader. The checks below are made on the
    // opened file, so a rename between checking and reading cannot slip another file in.
    const int noFollow = trustedOwner ? O_NOFOLLOW : 0;
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | noFollow));
    if (!fd) {
        return fail(errno == ELOOP ? std::string("is a symbolic link; refused")
                                   : std::string("cannot be read: ") + std::strerror(errno));
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return fail("is not a regular file");
    }
    if (trustedOwner) {
        if (std::string why; !ownedSafely(info, *trustedOwner, why)) {
            return fail(why + "; refused");
        }
    }
    if (static_cast<std::size_t>(info.st_size) > kMaxListFileSize) {
        return fail("is over " + std::to_string(kMaxListFileSize / (1024 * 1024)) + " MiB");
    }
    std::string text;
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return fail(std::string("cannot be read: ") + std::strerror(errno));
        }
        if (got == 0) {
            break;
        }
        text.append(buffer, static_cast<std::size_t>(got));
        if (text.size() > kMaxListFileSize) {
            return fail("is over " + std::to_string(kMaxListFileSize / (1024 * 1024)) + " MiB");
        }
    }
    return parse(text, path);
}

} // namespace Quilvane::Wire
