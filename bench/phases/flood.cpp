#include "phases.h"

#include "client.h"
#include "clock.h"
#include "joined_pair.h"
#include "paced_lines.h"
#include "server_process.h"
#include "sockets.h"

#include <cstdio>

namespace bench {

void flood(const Options& options)
{
    const int seconds = options.floodSeconds;
    std::printf("\n## flood: one client sends 16 KiB writes as fast as it can for %d s and reads "
                "all it is sent;\n",
        seconds);
    std::printf("## another sends a line a second; the Chat page is shown\n\n");
    std::printf("| s | server RSS MiB | flood MiB written | other's lines answered | worst wait ms "
                "|\n|---|---|---|---|---|\n");
    JoinedPair pair(options.server, "Chat", "flooder", "other");
    if (!pair.joined)
        return;
    auto& [server, flooder, other, joined] = pair;
    const std::string chunk = "flood " + std::string(16 * 1024 - 6, 'f');
    size_t chunkSent = 0;
    long long floodSent = 0;
    PacedLines paced(other);
    const auto start = Clock::now();
    int nextReport = 0;
    for (double now = 0; now < seconds; now = secondsSince(start)) {
        for (int writes = 0; writes < 16; ++writes) {
            const size_t n = flooder.sendSome(std::string_view(chunk).substr(chunkSent));
            if (n == 0)
                break;
            floodSent += long(n);
            chunkSent = (chunkSent + n) % chunk.size();
        }
        flooder.readAll();
        paced.poll(now);
        if (now >= nextReport) {
            std::printf("| %d | %.1f | %.1f | %d | %.1f |\n", nextReport, server.rssKiB() / 1024.0,
                double(floodSent) / (1024 * 1024), paced.answered(), paced.worstSeconds() * 1e3);
            std::fflush(stdout);
            nextReport += 10;
        }
    }
    std::printf("| %d | %.1f | %.1f | %d | %.1f |\n", seconds, server.rssKiB() / 1024.0,
        double(floodSent) / (1024 * 1024), paced.answered(), paced.worstSeconds() * 1e3);
}

} // namespace bench
