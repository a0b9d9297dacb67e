#include "joined_pair.h"

#include "sockets.h"

#include <cstdio>

namespace bench {

namespace {
constexpr double joinLimit = 10;
} // namespace

JoinedPair::JoinedPair(const std::string& binary, const char* page, const std::string& firstName,
    const std::string& secondName, const std::string& row, const std::vector<std::string>& options)
    : server(binary, page, options)
    , first(server.port(), clientAddress(0))
    , second(server.port(), clientAddress(1))
    , joined(first.join(firstName, joinLimit) && second.join(secondName, joinLimit))
{
    if (!joined)
        std::printf("| %scould not join |\n", row.c_str());
}

} // namespace bench
