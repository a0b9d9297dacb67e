#include "process_setup.h"

#include <cerrno>
#include <csignal>

#include <sys/resource.h>

Failure prepareProcessForClients()
{
    std::signal(SIGPIPE, SIG_IGN);
    rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return systemError(errno);
    limit.rlim_cur = limit.rlim_max;
    return ::setrlimit(RLIMIT_NOFILE, &limit) == 0 ? Failure {} : systemError(errno);
}
