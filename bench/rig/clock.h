#pragma once

#include <chrono>

namespace bench {

using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

inline double secondsSince(Clock::time_point start)
{
    return Seconds(Clock::now() - start).count();
}

} // namespace bench
