#include "phases.h"

#include "clock.h"
#include "irc_peer.h"
#include "server_process.h"
#include "storm_clients.h"

#include <cstdio>
#include <string>

namespace bench {

namespace {

// One storm against a server started for it, as a row of the table.
void measure(
    int clients, const char* name, ServerProcess& server, StormClients& storm, double limitSeconds)
{
    const long startKiB = server.rssKiB();
    const double cpuBefore = server.cpuSeconds();
    const double generatorBefore = cpuSecondsOfThisProcess();
    const StormClients::Result result = storm.run(server.port(), limitSeconds);
    const double cpu = server.cpuSeconds() - cpuBefore;
    const double generatorCpu = cpuSecondsOfThisProcess() - generatorBefore;
    char held[128];
    if (result.finished)
        std::snprintf(held, sizeof held, "%.2f", result.seconds);
    else
        std::snprintf(held, sizeof held,
            "did not finish in %.0f s: %d of %d held it, %d not answered yet", result.seconds,
            result.holding, clients, result.unanswered);
    std::printf("| %d | %s | %s | %d | %.2f | %.2f | %.1f (%.1f) | %.2f |\n", clients, name, held,
        result.cutOff, double(result.bytes) / 1e6, cpu, double(server.peakRssKiB()) / 1024,
        double(startKiB) / 1024, generatorCpu);
    std::fflush(stdout);
}

} // namespace

void storm(const Options& options)
{
    const std::vector<IrcPeer::Kind> kinds = IrcPeer::installedKinds();
    std::printf("\n## storm: every client connects at once, each from an address of its own, "
                "and joins as soon as it is greeted (on the peers: registers at once and joins "
                "once welcomed); the time until every client holds the full roster (ours: a "
                "USER: row for every client since its last NEWLIST; the peers: every client in "
                "its channel's NAMES reply or a JOIN after it), at most %.0f s\n\n",
        options.stormLimit);
    std::printf("| clients | server | every client holds the full roster, s | cut off | MB sent "
                "| server CPU s | peak RSS MiB (before) | load generator CPU s |\n"
                "|---|---|---|---|---|---|---|---|\n");
    for (const int clients : options.storms) {
        {
            // The server goes before its clients, so that it is not left
            // serving their departures.
            StormClients crowd(clients, ourRosterReader);
            ServerProcess server(options.server);
            measure(clients, "ours", server, crowd, options.stormLimit);
        }
        for (const IrcPeer::Kind kind : kinds) {
            StormClients crowd(clients, ircRosterReader);
            IrcPeer peer(kind);
            measure(clients, IrcPeer::name(kind), peer.process(), crowd, options.stormLimit);
        }
    }
}

} // namespace bench
