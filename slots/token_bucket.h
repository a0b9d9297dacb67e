#pragma once

#include <QtGlobal>

#include <chrono>

// A rate with bursts: `perSecond` sustained, and up to `burst` at once
// after a pause.
struct Budget {
    qint64 perSecond;
    qint64 burst;
};

// A token bucket over an injected clock. It starts full; every unit taken
// costs one token, and tokens come back at the budget's rate up to the burst.
// Spending may run it into debt, which the refill pays off first. Tokens are
// kept in nano-units, so that refills add up exactly however often they are
// asked for.
class TokenBucket {
public:
    using Clock = std::chrono::steady_clock;

    TokenBucket(Budget budget, Clock::time_point now);

    // Units that may be taken at `now`; 0 while in debt.
    qint64 available(Clock::time_point now);
    bool isFull(Clock::time_point now) { return available(now) >= m_budget.burst; }
    void spend(qint64 units) { m_nanoTokens -= units * nanoPerUnit; }

private:
    static constexpr qint64 nanoPerUnit = 1'000'000'000;

    void refill(Clock::time_point now);

    Budget m_budget;
    qint64 m_nanoTokens;
    Clock::time_point m_refilled;
};
