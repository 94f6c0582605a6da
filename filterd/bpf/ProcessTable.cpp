#include "filterd/bpf/ProcessTable.h"

#include "filterd/bpf/NameHash.h"
#include "wire/UniqueFd.h"

#include <bpf/bpf.h>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <string_view>
#include <sys/stat.h>
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

// Opened without blocking and read only when it is a regular file: a command line may name a FIFO
// or a device, which must not hold up the service's start.
bool startsWithShebang(const std::string& path) {
    Quilvane::Wire::UniqueFd file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    struct stat st {};
    char head[2] = {};
    return file && ::fstat(file.get(), &st) == 0 && S_ISREG(st.st_mode) &&
           ::read(file.get(), head, sizeof head) == 2 && head[0] == '#' && head[1] == '!';
}

// The first word after the interpreter that is not an option, when it names a #! file.
std::optional<std::string> scriptOf(const std::string& procDirectory) {
    const auto words = commandLine(procDirectory);
    for (std::size_t i = 1; i < words.size(); ++i) {
        if (words[i].empty() || words[i][0] == '-') {
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
        return startsWithShebang(path) ? std::optional(path) : std::nullopt;
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

std::optional<qv_process> ProcessTable::fromProc(const std::string& procDirectory) {
    const auto exe = readLink(procDirectory + "/exe");
    if (!exe) {
        return std::nullopt;
    }
    qv_process process{};
    addName(process, *exe);
    store(process.exe, *exe);
    if (const auto script = scriptOf(procDirectory)) {
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
