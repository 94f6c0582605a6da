// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/BoundedFile.h"

#include "wire/UniqueFd.h"

#include <QFile>
#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using Quilvane::Wire::UniqueFd;

// O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer. O_NOCTTY: a terminal
// device must not become the application's controlling terminal.
UniqueFd openWithoutWaiting(const QString& path) {
    return UniqueFd(
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
}

bool isRegularFile(const UniqueFd& fd) {
    struct stat status {};
    return ::fstat(fd.get(), &status) == 0 && S_ISREG(status.st_mode);
}

// Up to `limit` bytes; nothing on a read error.
std::optional<QByteArray> readUpTo(const UniqueFd& fd, qint64 limit) {
    QByteArray bytes;
    constexpr qint64 chunk = 64 * 1024;
    while (bytes.size() < limit) {
        const qsizetype had = bytes.size();
        bytes.resize(had + std::min(chunk, limit - had));
        const ssize_t got = ::read(fd.get(), bytes.data() + had, static_cast<size_t>(bytes.size() - had));
        if (got < 0 && errno == EINTR) {
            bytes.resize(had);
            continue;
        }
        if (got < 0) {
            return std::nullopt;
        }
        bytes.resize(had + got);
        if (got == 0) {
            break;
        }
    }
    return bytes;
}

} // namespace

std::optional<QByteArray> BoundedFile::read(const QString& path, qint64 cap) {
    const UniqueFd fd = openWithoutWaiting(path);
    if (!fd || !isRegularFile(fd)) {
        return std::nullopt;
    }
    // One byte past the cap tells a file of exactly `cap` bytes from a longer one.
    std::optional<QByteArray> bytes = readUpTo(fd, cap + 1);
    if (!bytes || bytes->size() > cap) {
        return std::nullopt;
    }
    return bytes;
}
