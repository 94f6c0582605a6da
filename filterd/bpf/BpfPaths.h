// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <optional>
#include <string>

// Where the kernel objects of the service live: the cgroup v2 hierarchy whose root the programs
// attach to (found in the mount table, never assumed), and the BPF file system in which the
// objects that outlive a restart are pinned.
namespace Filterd::BpfPaths {

// The mount point of the cgroup v2 hierarchy in a mount table such as /proc/mounts.
std::optional<std::string> cgroup2Mount(const std::string& mountTable = "/proc/mounts");

// Makes sure `directory` is a BPF file system, mounting one there when it is not (the service
// needs it for pins; nothing mounts it by default on some systems).
bool ensureBpffs(const std::string& directory, std::string& error);

// The folder of `path` ("/sys/fs/bpf" for "/sys/fs/bpf/quilvane").
std::string parentOf(const std::string& path);

} // namespace Filterd::BpfPaths
