#include "phases.h"

#include "clock.h"
#include "joining_clients.h"
#include "server_process.h"

#include <cstdio>

namespace bench {

void joinStorm(const Options& options)
{
    std::printf("\n## join storm: clients join one after another\n\n");
    std::printf("| clients | total s | messages sent | server CPU us/msg | last join ms "
                "|\n|---|---|---|---|---|\n");
    for (const int clients : options.joinStorms) {
        ServerProcess server(options.server);
        ClientPool pool(server.port());
        JoiningClients joining(pool);
        double lastJoin = 0;
        const double cpuBefore = server.cpuSeconds();
        const auto start = Clock::now();
        while (pool.size() < clients && secondsSince(start) < options.phaseLimit) {
            const auto joinStart = Clock::now();
            if (!joining.joinOne(options.phaseLimit))
                break;
            lastJoin = secondsSince(joinStart) * 1e3;
        }
        const double total = secondsSince(start);
        const double cpu = (server.cpuSeconds() - cpuBefore) * 1e6 / double(joining.messages());
        std::printf("| %d%s | %.2f | %lld | %.2f | %.1f |\n", clients,
            pool.size() < clients ? " (stopped early)" : "", total, joining.messages(), cpu,
            lastJoin);
        std::fflush(stdout);
    }
}

} // namespace bench
