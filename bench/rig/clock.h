#pragma once

#include <chrono>

#include <sys/resource.h>

namespace bench {

using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

inline double secondsSince(Clock::time_point start)
{
    return Seconds(Clock::now() - start).count();
}

// The load generator's own CPU time, user and system.
inline double cpuSecondsOfThisProcess()
{
    rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

} // namespace bench
