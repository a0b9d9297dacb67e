#include "resident_memory.h"

#include <cstdlib>
#include <fstream>
#include <string>

namespace bench {

long residentKiB(pid_t pid)
{
    std::ifstream status(
        pid > 0 ? "/proc/" + std::to_string(pid) + "/status" : "/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return 0;
}

} // namespace bench
