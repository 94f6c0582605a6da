#pragma once

#include <cstddef>

// What the filter service accepts in one block-list command. The service refuses a command past any
// of these and keeps its list; the application checks them before sending, so that it never shows
// blocks the service has refused.
namespace Quilvane::Wire {

// The longest name an executable file can have on Linux (NAME_MAX); the kernel's name key holds it
// and a NUL.
inline constexpr std::size_t kMaxNameLength = 255;

// The most distinct, non-empty names one list may hold; it bounds the kernel memory one command can
// take.
inline constexpr std::size_t kMaxBlockListNames = 65536;

// The largest payload (names with their NUL bytes) of one command.
inline constexpr std::size_t kMaxCommandPayload = 1024 * 1024;

} // namespace Quilvane::Wire
