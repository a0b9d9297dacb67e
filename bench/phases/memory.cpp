#include "phases.h"

#include "clock.h"
#include "joining_clients.h"
#include "server_process.h"

#include <cstdio>

#include <linux/tcp.h>
#include <sys/socket.h>

namespace bench {

namespace {

// Segments with data that the client's socket has received.
unsigned dataSegmentsIn(int fd)
{
    tcp_info info {};
    socklen_t size = sizeof info;
    return ::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) == 0 ? info.tcpi_data_segs_in : 0;
}

} // namespace

// The first client reads as fast as it can while the others join one at a
// time: each message it is sent should reach it in a segment of its own.
void memory(const Options& options)
{
    std::printf(
        "\n## memory: idle joined clients (each a roster row, a join notice and a connection)\n\n");
    std::printf("| clients | server RSS MiB | KiB per client | then a line reached all | s "
                "| first client: messages / segments |\n|---|---|---|---|---|---|\n");
    long baseline = 0;
    {
        ServerProcess server(options.server);
        baseline = server.rssKiB();
        ClientPool pool(server.port());
        JoiningClients joining(pool);
        bool quiet = true;
        while (quiet && pool.size() < 10)
            quiet = joining.joinOne(options.phaseLimit);
        quiet = quiet && joining.rejoinLast(options.quietJoins, options.phaseLimit);
        std::printf("| 0 | %.1f | | | | quiet room of 10, %d joins: %lld / %u%s |\n",
            baseline / 1024.0, options.quietJoins, joining.messagesToFirst(),
            dataSegmentsIn(pool.descriptor(0)), quiet ? "" : " (stopped early)");
    }
    for (const int clients : options.idleClients) {
        ServerProcess server(options.server);
        ClientPool pool(server.port());
        const auto start = Clock::now();
        JoiningClients joining(pool);
        bool filled = true;
        while (filled && pool.size() < clients)
            filled = joining.joinOne(options.phaseLimit);
        const long rss = server.rssKiB();
        const unsigned segments = pool.size() > 0 ? dataSegmentsIn(pool.descriptor(0)) : 0;
        const std::string line = "still: served";
        for (int i = 0; i < pool.size(); ++i)
            pool.addTarget(i, long(line.size()));
        pool.send(pool.size() - 1, line);
        const bool served = filled && pool.waitForTargets(60);
        std::printf("| %d | %.1f | %.1f | %s | %.1f | %lld / %u |\n", clients, rss / 1024.0,
            double(rss - baseline) / clients, served ? "yes" : "no", secondsSince(start),
            joining.messagesToFirst(), segments);
        std::fflush(stdout);
    }
}

} // namespace bench
