#pragma once

#include <QtGlobal>

#include <chrono>

// How fast one client's input is taken in: `bytesPerSecond` sustained, and
// up to `burst` bytes at once after a pause.
struct InputBudget {
    qint64 bytesPerSecond;
    qint64 burst;
};

// A token bucket over an injected clock. It starts full; every byte taken
// costs one token, and tokens come back at the budget's rate up to the burst.
// Tokens are kept in nanobyte units, so that refills add up exactly however
// often they are asked for.
class TokenBucket {
public:
    using Clock = std::chrono::steady_clock;

    TokenBucket(InputBudget budget, Clock::time_point now);

    // Bytes that may be taken at `now`.
    qint64 available(Clock::time_point now);
    void spend(qint64 bytes);
    // How long from `now` until `bytes` are available; zero if they are now.
    std::chrono::nanoseconds timeUntil(qint64 bytes, Clock::time_point now);

private:
    void refill(Clock::time_point now);

    InputBudget m_budget;
    qint64 m_nanoTokens;
    Clock::time_point m_refilled;
};
