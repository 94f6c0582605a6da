// SPDX-License-Identifier: GPL-3.0-or-later
#include "wire/ControlPath.h"

#include <cstdlib>

namespace Quilvane::Wire {

std::string controlDirectory()
{
    const char* dir = std::getenv("QUILVANE_CONTROL_DIR");
    return (dir != nullptr && *dir != '\0') ? std::string(dir) : std::string(kDefaultControlDirectory);
}

std::string controlSocketPath(const std::string& controlName)
{
    return controlDirectory() + "/" + controlName;
}

} // namespace Quilvane::Wire
