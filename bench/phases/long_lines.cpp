#include "phases.h"

#include "client.h"
#include "clock.h"
#include "joined_pair.h"
#include "server_process.h"
#include "sockets.h"

#include <cstdio>

namespace bench {

void longLines(const Options& options)
{
    std::printf("\n## long lines: one client writes 8 lines of 1 MiB (for at most %.0f s), then "
                "another sends a short line\n\n",
        options.longLineSeconds);
    std::printf("| page shown | MiB written | short line's wait ms |\n|---|---|---|\n");
    for (const char* page : { "Chat", "Logs", "Users" }) {
        JoinedPair pair(options.server, page, "sender", "other", std::string(page) + " | ");
        if (!pair.joined)
            continue;
        auto& [server, sender, other, joined] = pair;
        std::string lines;
        for (int i = 0; i < 8; ++i)
            lines += std::string(1024 * 1024, char('a' + i));
        size_t written = 0;
        const auto start = Clock::now();
        while (written < lines.size() && secondsSince(start) < options.longLineSeconds) {
            // Each line its own write, as far as the connection takes it.
            const size_t lineEnd = (written / (1024 * 1024) + 1) * 1024 * 1024;
            written += sender.sendSome(std::string_view(lines).substr(written, lineEnd - written));
            sender.readAll();
            other.readAll();
        }
        const std::string line = "other: after the long lines";
        other.watch(line);
        other.sendSome(line);
        const auto asked = Clock::now();
        double wait = -1;
        while (secondsSince(asked) < 60) {
            sender.readAll();
            if (other.readAll()) {
                wait = secondsSince(asked);
                break;
            }
        }
        if (wait < 0)
            std::printf(
                "| %s | %.1f | none within 60 s |\n", page, double(written) / (1024 * 1024));
        else
            std::printf(
                "| %s | %.1f | %.1f |\n", page, double(written) / (1024 * 1024), wait * 1e3);
        std::fflush(stdout);
    }
}

} // namespace bench
