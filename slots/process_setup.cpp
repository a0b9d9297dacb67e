#include "process_setup.h"

#include <csignal>

#include <sys/resource.h>

void prepareProcessForClients()
{
    std::signal(SIGPIPE, SIG_IGN);
    rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}
