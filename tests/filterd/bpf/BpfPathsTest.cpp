// SPDX-License-Identifier: GPL-3.0-or-later
#include "filterd/bpf/BpfPaths.h"

#include <QTemporaryDir>
#include <fstream>
#include <gtest/gtest.h>

using namespace Filterd;

TEST(BpfPaths, FindsTheCgroup2MountInTheMountTable) {
    QTemporaryDir dir;
    const std::string table = dir.filePath(QStringLiteral("mounts")).toStdString();
    std::ofstream(table) << "tmpfs /sys/fs/cgroup tmpfs rw 0 0\n"
                            "cgroup /sys/fs/cgroup/cpu cgroup rw,cpu 0 0\n"
                            "cgroup2 /sys/fs/cgroup/my\\040unified cgroup2 rw 0 0\n";
    EXPECT_EQ(BpfPaths::cgroup2Mount(table), "/sys/fs/cgroup/my unified");

    std::ofstream(table) << "cgroup /sys/fs/cgroup/cpu cgroup rw,cpu 0 0\n";
    EXPECT_FALSE(BpfPaths::cgroup2Mount(table).has_value());
    EXPECT_FALSE(BpfPaths::cgroup2Mount(table + ".missing").has_value());
}

TEST(BpfPaths, ParentOfAPinFolder) {
    EXPECT_EQ(BpfPaths::parentOf("/sys/fs/bpf/quilvane"), "/sys/fs/bpf");
    EXPECT_EQ(BpfPaths::parentOf("/quilvane"), "/");
}
