#include "token_bucket.h"

#include <algorithm>

TokenBucket::TokenBucket(Budget budget, Clock::time_point now)
    : m_budget(budget)
    , m_nanoTokens(budget.burst * nanoPerUnit)
    , m_refilled(now)
{
}

void TokenBucket::refill(Clock::time_point now)
{
    if (now <= m_refilled)
        return;
    const qint64 full = m_budget.burst * nanoPerUnit;
    // Capped before multiplying: past the time the bucket takes to fill from
    // its deepest debt, a longer pause adds nothing.
    const qint64 deficit = full - std::min(full, m_nanoTokens);
    const qint64 fillTime = deficit / std::max<qint64>(1, m_budget.perSecond) + 1;
    const qint64 elapsed
        = std::min<qint64>(std::chrono::nanoseconds(now - m_refilled).count(), fillTime);
    m_nanoTokens = std::min(full, m_nanoTokens + elapsed * m_budget.perSecond);
    m_refilled = now;
}

qint64 TokenBucket::available(Clock::time_point now)
{
    refill(now);
    return std::max<qint64>(0, m_nanoTokens / nanoPerUnit);
}
