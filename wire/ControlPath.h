// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>

namespace Quilvane::Wire {

// The control name under which the filter service listens.
inline constexpr const char* kControlName = "com.quilvaneapp.nke.filter";

// The folder of the control socket when $QUILVANE_CONTROL_DIR is not set.
inline constexpr const char* kDefaultControlDirectory = "/run/quilvane";

// $QUILVANE_CONTROL_DIR, or /run/quilvane when it is unset or empty.
std::string controlDirectory();

// The control socket for a control name: controlDirectory() + "/" + name.
std::string controlSocketPath(const std::string& controlName = kControlName);

} // namespace Quilvane::Wire
