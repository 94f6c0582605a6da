// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "wire/ListFile.h"

#include <string>
#include <sys/types.h>
#include <vector>

// The administrator's block lists: every `*.list` file of one folder, read with ListFile. The
// folder and each file must be owned by root (or the reader's own user) and writable by no group
// or other, since whoever can write them decides what every process of the machine may reach.
// Other names in the folder (an editor's backup, a README) are ignored.
namespace Quilvane::Wire {

class ListFolder final {
public:
    // An absent folder is no problem: it holds no lists.
    static ListFolder read(const std::string& directory, uid_t trustedOwner);

    bool valid() const { return m_problems.empty(); }
    // The union of the files' names, each once, in the order of the files' names then their lines.
    const std::vector<std::string>& names() const { return m_names; }
    const std::vector<ListFileProblem>& problems() const { return m_problems; }
    // The files read, sorted.
    const std::vector<std::string>& files() const { return m_files; }
    bool exists() const { return m_exists; }

private:
    std::vector<std::string> m_names;
    std::vector<ListFileProblem> m_problems;
    std::vector<std::string> m_files;
    bool m_exists = false;
};

} // namespace Quilvane::Wire
