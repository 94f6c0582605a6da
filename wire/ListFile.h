// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <sys/types.h>
#include <vector>

// A block-list file of an administrator (/etc/quilvane/lists.d/NAME.list): one program name or path
// a line, a path counting by its file name as everywhere else; lines starting with `#` and blank
// lines are ignored; spaces and tabs around a line are dropped. The service enforces the names for
// every process and the application shows them; both read files through this one parser so that
// they cannot disagree on what a file means.
namespace Quilvane::Wire {

// The folder the service and the application read by default.
inline constexpr const char* kListsDirectory = "/etc/quilvane/lists.d";
inline constexpr std::string_view kListFileSuffix = ".list";
// No list file of a person is this large; a bigger one is a mistake, not a list.
inline constexpr std::size_t kMaxListFileSize = 4 * 1024 * 1024;

// "file:line: reason", the form compilers and linters use, so editors and CI logs link to it.
struct ListFileProblem {
    std::string file;
    std::size_t line = 0; // 0: the file as a whole
    std::string reason;

    std::string text() const;
};

// Whether `info` is owned by root (or `trustedOwner`, the reader's own user, so that an unprivileged
// simulation can use a folder of its own) and writable by no group or other; `why` says what not.
bool ownedSafely(const struct stat& info, uid_t trustedOwner, std::string& why);

class ListFile final {
public:
    // The program names of `text`, in order, or the problems of its lines (then no names).
    static ListFile parse(std::string_view text, const std::string& fileName);
    // Reads and parses `path`; an unreadable or oversized file is a problem of line 0. Ownership
    // and modes are the folder's business (ListFolder), so a repository's CI can check files too.
    static ListFile read(const std::string& path);
    // Reads `path` only if it is a regular file (no symbolic link) owned by root or
    // `trustedOwner` and writable by no group or other: what the service enforces.
    static ListFile read(const std::string& path, std::optional<uid_t> trustedOwner);

    bool valid() const { return m_problems.empty(); }
    const std::vector<std::string>& names() const { return m_names; }
    const std::vector<ListFileProblem>& problems() const { return m_problems; }

    // The name a line stands for, or a reason why it stands for none.
    static bool nameOfLine(std::string_view line, std::string& name, std::string& reason);

private:
    std::vector<std::string> m_names;
    std::vector<ListFileProblem> m_problems;
};

} // namespace Quilvane::Wire
