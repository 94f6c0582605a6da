// SPDX-License-Identifier: GPL-3.0-or-later
#include "wire/ListFolder.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <memory>
#include <sys/stat.h>
#include <unordered_set>

namespace Quilvane::Wire {

ListFolder ListFolder::read(const std::string& directory, uid_t trustedOwner) {
    ListFolder result;
    struct stat info {};
    const bool found = ::stat(directory.c_str(), &info) == 0;
    if (!found && errno == ENOENT) {
        return result;
    }
    result.m_exists = true;
    const auto fail = [&](std::string reason) {
        result.m_problems.push_back({directory, 0, std::move(reason)});
        return result;
    };
    if (!found) {
        return fail(std::string("cannot be read: ") + std::strerror(errno));
    }
    if (!S_ISDIR(info.st_mode)) {
        return fail("is not a folder");
    }
    if (std::string why; !ownedSafely(info, trustedOwner, why)) {
        return fail(why + "; refused");
    }
    const std::unique_ptr<DIR, int (*)(DIR*)> folder(::opendir(directory.c_str()), ::closedir);
    if (!folder) {
        return fail(std::string("cannot be read: ") + std::strerror(errno));
    }
    while (const dirent* entry = ::readdir(folder.get())) {
        const std::string_view name = entry->d_name;
        // Hidden files are what editors and configuration tools write before they rename.
        if (name.size() > kListFileSuffix.size() && name.ends_with(kListFileSuffix) && name.front() != '.') {
            result.m_files.push_back(directory + "/" + std::string(name));
        }
    }
    std::sort(result.m_files.begin(), result.m_files.end());
    std::unordered_set<std::string> seen;
    for (const std::string& path : result.m_files) {
        const ListFile file = ListFile::read(path, trustedOwner);
        result.m_problems.insert(result.m_problems.end(), file.problems().begin(), file.problems().end());
        for (const std::string& name : file.names()) {
            if (seen.insert(name).second) {
                result.m_names.push_back(name);
            }
        }
    }
    if (!result.m_problems.empty()) {
        result.m_names.clear();
    }
    return result;
}

} // namespace Quilvane::Wire
