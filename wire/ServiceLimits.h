// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "wire/KernelSizes.h"

#include <cstddef>

// What the filter service accepts in one block-list command. The service refuses a command past any
// of these and keeps its list; the application checks them before sending, so that it never shows
// blocks the service has refused.
namespace Quilvane::Wire {

// The longest name an executable file can have on Linux (NAME_MAX); also the longest path or name a
// record carries.
inline constexpr std::size_t kMaxNameLength = QV_NAME_MAX;

// Users that may have a list in force at once, the list for every process included.
inline constexpr std::size_t kMaxListOwners = QV_MAX_LIST_OWNERS;

// The most distinct, non-empty names one list may hold; it bounds the kernel memory one command can
// take.
inline constexpr std::size_t kMaxBlockListNames = 65536;

// The largest payload (names with their NUL bytes) of one command.
inline constexpr std::size_t kMaxCommandPayload = 1024 * 1024;

} // namespace Quilvane::Wire
