#include "resident_memory.h"

#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>

namespace bench {

namespace {

// A "Name:  N kB" line of /proc/PID/status.
long statusKiB(pid_t pid, std::string_view field)
{
    std::ifstream status(
        pid > 0 ? "/proc/" + std::to_string(pid) + "/status" : "/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.starts_with(field))
            return std::strtol(line.c_str() + field.size(), nullptr, 10);
    }
    return 0;
}

} // namespace

long residentKiB(pid_t pid)
{
    return statusKiB(pid, "VmRSS:");
}

long peakResidentKiB(pid_t pid)
{
    return statusKiB(pid, "VmHWM:");
}

} // namespace bench
