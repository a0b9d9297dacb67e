#include "paced_lines.h"

#include <algorithm>
#include <string>

namespace bench {

void PacedLines::poll(double now)
{
    if (m_client.readAll() && m_waiting) {
        m_worst = std::max(m_worst, secondsSince(m_askedAt));
        m_waiting = false;
        ++m_answered;
    }
    if (m_waiting)
        m_worst = std::max(m_worst, secondsSince(m_askedAt));
    if (!m_waiting && now >= m_answered + 1) {
        const std::string line = "other: line " + std::to_string(m_answered);
        m_client.watch(line);
        m_client.sendSome(line);
        m_askedAt = Clock::now();
        m_waiting = true;
    }
}

} // namespace bench
