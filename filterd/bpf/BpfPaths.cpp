// SPDX-License-Identifier: GPL-3.0-or-later
#include "filterd/bpf/BpfPaths.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <linux/magic.h>
#include <sstream>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statfs.h>

namespace Filterd::BpfPaths {
namespace {

// The mount table escapes space, tab, newline and backslash as three octal digits.
std::string unescapeMountField(const std::string& field) {
    std::string out;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            const std::string digits = field.substr(i + 1, 3);
            if (digits.size() == 3 && digits.find_first_not_of("01234567") == std::string::npos) {
                out.push_back(static_cast<char>(std::stoi(digits, nullptr, 8)));
                i += 3;
                continue;
            }
        }
        out.push_back(field[i]);
    }
    return out;
}

} // namespace

std::optional<std::string> cgroup2Mount(const std::string& mountTable) {
    std::ifstream table(mountTable);
    std::string line;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string source, target, type;
        if (fields >> source >> target >> type && type == "cgroup2") {
            return unescapeMountField(target);
        }
    }
    return std::nullopt;
}

bool ensureBpffs(const std::string& directory, std::string& error) {
    struct statfs fs {};
    if (::statfs(directory.c_str(), &fs) == 0 && fs.f_type == BPF_FS_MAGIC) {
        return true;
    }
    if (::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) {
        error = "cannot create " + directory + ": " + std::strerror(errno);
        return false;
    }
    if (::mount("bpf", directory.c_str(), "bpf", MS_NOSUID | MS_NODEV | MS_NOEXEC, "mode=0700") != 0) {
        error = "cannot mount a BPF file system on " + directory + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

std::string parentOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

} // namespace Filterd::BpfPaths
