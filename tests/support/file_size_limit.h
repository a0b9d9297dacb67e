#pragma once

#include <csignal>

#include <sys/resource.h>

// Runs `action` with writes limited to `bytes` a file, as a full disk would
// limit them: a write past it fails instead of ending the process.
template<typename Action>
void withFileSizeLimit(rlim_t bytes, Action action)
{
    rlimit limit {};
    ::getrlimit(RLIMIT_FSIZE, &limit);
    const rlimit small { bytes, limit.rlim_max };
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    ::setrlimit(RLIMIT_FSIZE, &small);
    action();
    ::setrlimit(RLIMIT_FSIZE, &limit);
    std::signal(SIGXFSZ, previousHandler);
}
