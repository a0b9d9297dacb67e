// Fair share: ordinary clients chat at a line a second beside one kind of
// hostile client at a time, then beside all kinds at once. Every client comes
// from an address of its own. What counts is each ordinary line's round trip,
// from its sender's write until its own copy comes back.

#include "phases.h"

#include "fair_report.h"
#include "hostile_clients.h"
#include "ordinary_client.h"
#include "packet_drop.h"
#include "slow_lines.h"

#include "client.h"
#include "clock.h"
#include "server_process.h"
#include "sockets.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <string>

#include <sys/epoll.h>
#include <unistd.h>

namespace bench {

namespace {

constexpr double greetingLimit = 10;

// With `names` (address to kind, filled by addHostiles), the server traces
// its lines and the row is followed by where the slow ones spent their time.
void fairRow(const std::string& binary, const FairOptions& options, const char* name,
    const std::function<void(Hostiles&, Ports, int)>& addHostiles, double seconds,
    const std::map<std::string, std::string>* names = nullptr)
{
    const std::string tracePath = "/tmp/quenvar-line-trace-" + std::to_string(::getpid());
    std::vector<std::string> serverOptions { "--ban", addressText(bannedAddress()) };
    if (names)
        serverOptions.insert(serverOptions.end(), { "--trace", tracePath });
    ServerProcess server(binary, "Settings", serverOptions);
    const int epoll = ::epoll_create1(EPOLL_CLOEXEC);
    require(epoll >= 0, "epoll_create1");
    std::vector<RoundTrip> roundTrips;
    std::vector<std::unique_ptr<OrdinaryClient>> ordinary;
    bool joined = true;
    for (int i = 0; i < options.ordinaryClients && joined; ++i) {
        auto& client = *ordinary.emplace_back(
            std::make_unique<OrdinaryClient>(i, server.port(), epoll, roundTrips));
        const std::string name = "o" + std::to_string(i);
        joined
            = client.isOpen() && pumpUntil(epoll, greetingLimit, [&] { return client.greeted(); });
        client.write("USER:" + name);
        joined = joined && pumpUntil(epoll, greetingLimit, [&] {
            return client.received().find("NEWUSER:" + name) != std::string::npos;
        });
    }
    if (!joined) {
        std::printf("| %s | the ordinary clients could not join |\n", name);
        ::close(epoll);
        return;
    }

    Hostiles hostiles;
    addHostiles(hostiles, { server.port(), server.webPort() }, epoll);
    const double cpuBefore = server.cpuSeconds();
    const auto start = Clock::now();
    long rssAfterMinute = 0;
    std::vector<int> linesDue(ordinary.size(), 0);
    const auto allAnswered = [&] {
        return std::all_of(
            ordinary.begin(), ordinary.end(), [](const auto& c) { return c->outstanding() == 0; });
    };
    for (double now = 0; now < seconds + options.graceSeconds && !(now >= seconds && allAnswered());
         now = secondsSince(start)) {
        epoll_event events[256];
        const int ready = ::epoll_wait(epoll, events, 256, 1);
        for (int e = 0; e < ready; ++e)
            static_cast<Client*>(events[e].data.ptr)->readAll();
        for (auto& hostile : hostiles)
            hostile->tick();
        if (rssAfterMinute == 0 && now >= 60)
            rssAfterMinute = server.rssKiB();
        if (now >= seconds)
            continue;
        // Spread over the second: client i sends at i x 10 ms past it.
        for (size_t i = 0; i < ordinary.size(); ++i) {
            if (now >= linesDue[i] + double(i) / double(ordinary.size())) {
                ordinary[i]->sendLine();
                ++linesDue[i];
            }
        }
    }
    FairTally tally;
    tally.cpuPercent = (server.cpuSeconds() - cpuBefore) / seconds * 100;
    for (const auto& client : ordinary) {
        tally.sent += client->sent();
        tally.lost += client->outstanding();
        tally.cutOff += client->gone();
    }
    std::string row = name;
    for (const auto& hostile : hostiles) {
        tally.cutOff += hostile->readerCutOff();
        if (const std::string outcome = hostile->outcome(); !outcome.empty())
            row += "; " + outcome;
    }
    tally.rssKiB = server.rssKiB();
    tally.rssAfterMinuteKiB = rssAfterMinute;
    printFairRow(row.c_str(), roundTrips, tally);
    if (seconds >= 120)
        printMinutes(roundTrips, start);
    if (names) {
        explainSlowLines(tracePath, roundTrips, *names);
        ::unlink(tracePath.c_str());
    }
    std::fflush(stdout);
    hostiles.clear();
    ordinary.clear();
    ::close(epoll);
}

} // namespace

void fair(const Options& all)
{
    const FairOptions& options = all.fair;
    const std::string& server = all.server;
    std::printf("\n## fair share: %d ordinary clients send a line a second beside hostile clients, "
                "each client on an "
                "address of its own;\n## the ordinary lines' round trips, over %.0f s (%.0f s with "
                "all at once)\n\n",
        options.ordinaryClients, options.seconds, options.allSeconds);
    isolateNetwork();
    std::printf(canDropPackets()
            ? "The vanishing peer's packets are dropped by a firewall rule in a network "
              "namespace of the benchmark's own.\n\n"
            : "The vanishing peer's packets cannot be dropped here (root and iptables are "
              "needed): it only stops reading and sending.\n\n");
    std::printf(
        "| beside the ordinary clients | p50 ms | p99 ms | p99.9 ms | max ms | lines | lost "
        "| cut off | server CPU %% | server RSS MiB | RSS growth after the first minute MiB "
        "|\n|---|---|---|---|---|---|---|---|---|---|---|\n");
    for (const HostileKind& kind : hostileKinds()) {
        if (!options.mixOnly)
            fairRow(server, options, kind.name, kind.add, options.seconds);
    }
    std::map<std::string, std::string> names;
    fairRow(
        server, options, "all of them at once",
        [&](auto& hostiles, Ports ports, int epoll) {
            for (const HostileKind& kind : hostileKinds()) {
                const size_t first = hostiles.size();
                kind.add(hostiles, ports, epoll);
                for (size_t h = first; h < hostiles.size(); ++h)
                    names[addressText(hostileAddress(h))] = kind.name;
            }
        },
        options.allSeconds, &names);
}

} // namespace bench
