// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace Filterd {

// Log lines that a client can cause at will (a refusal, a connect and hang-up) at a bounded rate:
// at most `perInterval` lines per interval, and the number left out is told with the next line,
// so a flood of connections cannot flood the journal.
class LogThrottle final {
public:
    LogThrottle(std::uint32_t perInterval, std::chrono::steady_clock::duration interval);

    void line(const std::string& message, std::chrono::steady_clock::time_point now);
    void line(const std::string& message) { line(message, std::chrono::steady_clock::now()); }

    std::uint64_t suppressed() const { return m_suppressed; }

private:
    std::uint32_t m_perInterval;
    std::chrono::steady_clock::duration m_interval;
    std::chrono::steady_clock::time_point m_windowStart{};
    std::uint32_t m_inWindow = 0;
    std::uint64_t m_suppressed = 0;
};

} // namespace Filterd
