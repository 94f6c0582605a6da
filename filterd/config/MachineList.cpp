// SPDX-License-Identifier: GPL-3.0-or-later
#include "filterd/config/MachineList.h"

#include "wire/KextCommandFrame.h"

#include <unordered_set>

namespace Filterd {

BlockListCommand MachineList::combined() const {
    using namespace Quilvane::Wire;
    std::vector<std::string> names;
    names.reserve(m_fileNames.size() + m_clientNames.size());
    std::unordered_set<std::string> seen;
    for (const auto* source : {&m_fileNames, &m_clientNames}) {
        for (const std::string& name : *source) {
            if (seen.insert(name).second) {
                names.push_back(name);
            }
        }
    }
    if (names.size() > kMaxBlockListNames) {
        return BlockListCommand::refused(
            "the list files and the administrator's list hold " + std::to_string(names.size()) +
            " names together, over the limit of " + std::to_string(kMaxBlockListNames));
    }
    const auto payload = encodeProcessNames(names).value_or(std::vector<std::uint8_t>());
    const auto message = frameCommand(kSysprotoControl, kBlockListOption, payload.data(), payload.size());
    BlockListCommand command = BlockListCommand::parse(message, message.size());
    if (!command.valid()) {
        return BlockListCommand::refused("the list files and the administrator's list together: " +
                                         command.error());
    }
    return command;
}

} // namespace Filterd
