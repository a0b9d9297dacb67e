#include "token_bucket.h"

#include <algorithm>

namespace {

constexpr qint64 nanoPerByte = 1'000'000'000;

} // namespace

TokenBucket::TokenBucket(InputBudget budget, Clock::time_point now)
    : m_budget(budget)
    , m_nanoTokens(budget.burst * nanoPerByte)
    , m_refilled(now)
{
}

void TokenBucket::refill(Clock::time_point now)
{
    if (now <= m_refilled)
        return;
    const qint64 full = m_budget.burst * nanoPerByte;
    // Capped before multiplying: past the time an empty bucket takes to fill,
    // a longer pause adds nothing.
    const qint64 fillTime = full / std::max<qint64>(1, m_budget.bytesPerSecond) + 1;
    const qint64 elapsed = std::min<qint64>(std::chrono::nanoseconds(now - m_refilled).count(), fillTime);
    m_nanoTokens = std::min(full, m_nanoTokens + elapsed * m_budget.bytesPerSecond);
    m_refilled = now;
}

qint64 TokenBucket::available(Clock::time_point now)
{
    refill(now);
    return std::max<qint64>(0, m_nanoTokens / nanoPerByte);
}

void TokenBucket::spend(qint64 bytes)
{
    m_nanoTokens -= bytes * nanoPerByte;
}

std::chrono::nanoseconds TokenBucket::timeUntil(qint64 bytes, Clock::time_point now)
{
    refill(now);
    const qint64 missing = bytes * nanoPerByte - m_nanoTokens;
    if (missing <= 0)
        return {};
    const qint64 rate = std::max<qint64>(1, m_budget.bytesPerSecond);
    return std::chrono::nanoseconds((missing + rate - 1) / rate);
}
