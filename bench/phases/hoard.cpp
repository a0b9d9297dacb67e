// One address opens connections as fast as it can and never reads them,
// beside a client sending long lines: every line is sent to each of those
// connections, which never take it. What the server's memory does, and
// whether an ordinary client's line still comes straight back.

#include "phases.h"

#include "client.h"
#include "clock.h"
#include "joined_pair.h"
#include "paced_lines.h"
#include "server_process.h"
#include "sockets.h"

#include <cstdio>
#include <vector>

#include <poll.h>
#include <unistd.h>

namespace bench {

namespace {

// The hoarder's connections the server has closed.
int closedByServer(const std::vector<int>& connections)
{
    int closed = 0;
    for (const int fd : connections) {
        pollfd end { fd, POLLRDHUP, 0 };
        closed += ::poll(&end, 1, 0) == 1;
    }
    return closed;
}

} // namespace

void hoard(const Options& options)
{
    const int seconds = options.hoardSeconds;
    const int most = options.hoardConnections;
    std::printf("\n## hoard: one address opens up to %d connections as fast as it can and never "
                "reads;\n## another client sends a 60 KiB line every 200 ms, a third a short line "
                "a second\n\n",
        most);
    std::printf("| s | server RSS MiB | connections opened | closed by the server | long lines "
                "| short lines answered | worst wait ms |\n|---|---|---|---|---|---|---|\n");
    raiseOpenFileLimit();
    JoinedPair pair(options.server, "Chat", "liner", "other");
    if (!pair.joined)
        return;
    auto& [server, liner, other, joined] = pair;
    const std::string longLine = "long " + std::string(60 * 1024 - 5, 'l');
    std::vector<int> hoarded;
    int longLines = 0;
    PacedLines paced(other);
    const auto report = [&](double at) {
        std::printf("| %.0f | %.1f | %zu | %d | %d | %d | %.1f |\n", at, server.rssKiB() / 1024.0,
            hoarded.size(), closedByServer(hoarded), longLines, paced.answered(),
            paced.worstSeconds() * 1e3);
        std::fflush(stdout);
    };
    report(0);
    const auto start = Clock::now();
    int nextReport = 10;
    for (double now = 0; now < seconds; now = secondsSince(start)) {
        for (int n = 0; n < 50 && int(hoarded.size()) < most; ++n) {
            const int fd = connectTo(server.port(), clientAddress(2));
            if (fd >= 0)
                hoarded.push_back(fd);
        }
        if (now >= 0.2 * longLines && liner.flushed()) {
            liner.write(longLine);
            ++longLines;
        }
        liner.flush();
        liner.readAll();
        paced.poll(now);
        if (now >= nextReport) {
            report(nextReport);
            nextReport += 10;
        }
        ::usleep(1000);
    }
    report(seconds);
    for (const int fd : hoarded)
        ::close(fd);
}

} // namespace bench
