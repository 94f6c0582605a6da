// SPDX-License-Identifier: GPL-3.0-or-later
#include "filterd/bpf/ProcessTable.h"

#include "filterd/bpf/NameHash.h"
#include "wire/UniqueFd.h"

#include <algorithm>
#include <bpf/bpf.h>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <string_view>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

namespace Filterd {
namespace {

std::optional<std::string> readLink(const std::string& path) {
    char target[4096];
    const ssize_t n = ::readlink(path.c_str(), target, sizeof target);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof target) {
        return std::nullopt;
    }
    std::string text(target, static_cast<std::size_t>(n));
    constexpr std::string_view deleted = " (deleted)";
    if (text.ends_with(deleted)) {
        text.resize(text.size() - deleted.size());
    }
    return text;
}

std::vector<std::string> commandLine(const std::string& procDirectory) {
    std::ifstream file(procDirectory + "/cmdline", std::ios::binary);
    std::vector<std::string> words;
    std::string word;
    while (std::getline(file, word, '\0')) {
        words.push_back(word);
    }
    return words;
}

// stat only: a command line may name a FIFO or a device, which must not hold up the service's start.
bool isRegularFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool runsCodeFromTheCommandLine(std::string_view word) {
    return word == "-" || word == "-c" || word == "-m" || word == "-e" || word == "-E" || word == "-p" ||
           word == "-r" || word == "--eval" || word == "--print";
}

bool takesValue(std::string_view word) {
    return word == "-W" || word == "-X" || word == "-o" || word == "-O" || word == "+o" || word == "+O" ||
           word == "-I" || word == "--require";
}

// For an interpreter, its script: the first word that is not an option (after "--", the next
// word), unless an option gives the code itself (-c, -e, -m ...), when it names a regular file.
std::optional<std::string> scriptOf(const std::string& procDirectory, std::string_view interpreter) {
    const auto& interpreters = ProcessTable::interpreterNames();
    if (std::find(interpreters.begin(), interpreters.end(), interpreter) == interpreters.end()) {
        return std::nullopt;
    }
    const auto words = commandLine(procDirectory);
    for (std::size_t i = 1; i < words.size(); ++i) {
        const std::string_view word = words[i];
        if (runsCodeFromTheCommandLine(word)) {
            return std::nullopt;
        }
        if (takesValue(word)) {
            ++i;
            continue;
        }
        if (word == "--") {
            if (++i == words.size()) {
                return std::nullopt;
            }
        } else if (word.empty() || word[0] == '-' || word[0] == '+') {
            continue;
        }
        std::string path = words[i];
        if (path[0] != '/') {
            const auto cwd = readLink(procDirectory + "/cwd");
            if (!cwd) {
                return std::nullopt;
            }
            path = *cwd + "/" + path;
        }
        return isRegularFile(path) ? std::optional(path) : std::nullopt;
    }
    return std::nullopt;
}

std::string_view fileName(std::string_view path) {
    const auto slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// A full path where it fits the field, else the file name (which always does).
void store(char (&field)[QV_PATH_SIZE], std::string_view path) {
    const std::string_view text = path.size() < QV_PATH_SIZE ? path : fileName(path);
    std::memcpy(field, text.data(), std::min(text.size(), std::size_t{QV_PATH_SIZE - 1}));
}

void addName(qv_process& process, std::string_view path) {
    if (process.name_count < QV_PROCESS_NAMES) {
        process.names[process.name_count++] = nameHash(fileName(path));
    }
}

} // namespace

const std::vector<std::string>& ProcessTable::interpreterNames() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> list = {"sh",   "bash",  "dash",  "zsh",    "ksh",     "mksh",    "fish",
                                         "busybox", "node", "nodejs", "perl", "ruby", "php",   "lua",
                                         "tclsh", "python", "python2", "python3", "pypy3", "Rscript"};
        for (int minor = 0; minor <= 30; ++minor) {
            for (const char* runtime : {"python3.", "ruby3.", "php8.", "lua5.", "perl5."}) {
                list.push_back(runtime + std::to_string(minor));
            }
        }
        return list;
    }();
    return names;
}

std::optional<qv_process> ProcessTable::fromProc(const std::string& procDirectory) {
    const auto exe = readLink(procDirectory + "/exe");
    if (!exe) {
        return std::nullopt;
    }
    qv_process process{};
    addName(process, *exe);
    store(process.exe, *exe);
    if (const auto script = scriptOf(procDirectory, fileName(*exe))) {
        addName(process, *script);
        store(process.script, *script);
    }
    return process;
}

std::size_t ProcessTable::seed(int processMapFd, const std::string& procRoot) {
    DIR* dir = ::opendir(procRoot.c_str());
    if (dir == nullptr) {
        return 0;
    }
    std::size_t added = 0;
    while (const dirent* entry = ::readdir(dir)) {
        char* end = nullptr;
        const unsigned long tgid = std::strtoul(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0') {
            continue;
        }
        const auto process = fromProc(procRoot + "/" + entry->d_name);
        const __u32 key = static_cast<__u32>(tgid);
        if (process && bpf_map_update_elem(processMapFd, &key, &*process, BPF_NOEXIST) == 0) {
            ++added;
        }
    }
    ::closedir(dir);
    return added;
}

} // namespace Filterd
