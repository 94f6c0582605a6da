// SPDX-License-Identifier: GPL-3.0-or-later
#include "filterd/control/LogThrottle.h"

#include "filterd/Log.h"

namespace Filterd {

LogThrottle::LogThrottle(std::uint32_t perInterval, std::chrono::steady_clock::duration interval)
    : m_perInterval(perInterval)
    , m_interval(interval) {}

void LogThrottle::line(const std::string& message, std::chrono::steady_clock::time_point now) {
    if (now - m_windowStart >= m_interval) {
        m_windowStart = now;
        m_inWindow = 0;
    }
    if (m_inWindow >= m_perInterval) {
        ++m_suppressed;
        return;
    }
    ++m_inWindow;
    if (m_suppressed > 0) {
        Log::line(message + " (" + std::to_string(m_suppressed) + " similar lines left out before it)");
        m_suppressed = 0;
        return;
    }
    Log::line(message);
}

} // namespace Filterd
