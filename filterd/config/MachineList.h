// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "filterd/control/BlockListCommand.h"

#include <string>
#include <vector>

namespace Filterd {

// The list for every process has two sources, and neither replaces the other: the administrator's
// list files (/etc/quilvane/lists.d) and the last list an administrator's client sent. What is in
// force is their union, built here as one command so that it passes the same limits as any list.
class MachineList final {
public:
    void setFileNames(std::vector<std::string> names) { m_fileNames = std::move(names); }
    void setClientNames(std::vector<std::string> names) { m_clientNames = std::move(names); }
    const std::vector<std::string>& clientNames() const { return m_clientNames; }

    // The union, each name once; invalid (with the reason) when it passes the service's limits.
    BlockListCommand combined() const;

private:
    std::vector<std::string> m_fileNames;
    std::vector<std::string> m_clientNames;
};

} // namespace Filterd
