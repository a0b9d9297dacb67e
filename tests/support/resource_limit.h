#pragma once

#include <csignal>

#include <sys/resource.h>

// Runs `action` with the process's `resource` limited to `value`. A file size
// limit stands in for a full disk: a write past it fails instead of ending
// the process.
template<typename Action>
void withLimit(int resource, rlim_t value, Action action)
{
    rlimit saved {};
    ::getrlimit(resource, &saved);
    const rlimit low { value, saved.rlim_max };
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    ::setrlimit(resource, &low);
    action();
    ::setrlimit(resource, &saved);
    std::signal(SIGXFSZ, previousHandler);
}
