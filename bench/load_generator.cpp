// Load generator for the chat server. Starts the real server on a loopback
// port reserved for it, drives it with plain TCP and WebSocket clients on one
// epoll descriptor, and prints one table per phase. Every wait is bounded in time.
//
//   quenvar-load SERVER_BINARY [--smoke] [--phase PHASE]... [options]

#include "phases.h"
#include "sockets.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

using namespace bench;

namespace {

const struct {
    const char* name;
    void (*run)(const Options&);
} phases[] = {
    { "relay", relay },
    { "storm", storm },
    { "memory", memory },
    { "lifetime", lifetime },
    { "flood", flood },
    { "hoard", hoard },
    { "longlines", longLines },
    { "fair", fair },
    { "days", days },
    { "room", room },
};

// A few seconds of each phase: checks that the benchmarks run, never a time.
void makeSmoke(Options& options)
{
    options.relayClients = { 10 };
    options.lines = 50;
    options.runs = 1;
    options.storms = { 20 };
    options.stormLimit = 30;
    options.idleClients = { 50 };
    options.quietJoins = 20;
    options.lifetimeCheckpoints = { 100, 300 };
    options.floodSeconds = 3;
    options.hoardSeconds = 3;
    options.hoardConnections = 100;
    options.longLineSeconds = 1;
    options.fair = { 10, 1, 2, 2, false };
    options.days = { 60, 64LL << 20, true };
    options.room.loads = { { 20, 5, 100 } };
    options.room.seconds = 1;
    options.room.halfWeb = true;
    options.room.capacityClients = { 10 };
    options.room.highestRate = 200;
    options.room.bisections = 1;
    options.room.searchSeconds = 0.5;
    options.phaseLimit = 60;
}

// "1,2,3" as numbers.
std::vector<int> numbers(std::string_view list)
{
    std::vector<int> values;
    while (!list.empty()) {
        const size_t comma = std::min(list.find(','), list.size());
        values.push_back(std::atoi(std::string(list.substr(0, comma)).c_str()));
        list.remove_prefix(std::min(comma + 1, list.size()));
    }
    return values;
}

int usage(const char* program, const std::string& complaint)
{
    if (!complaint.empty())
        std::fprintf(stderr, "%s: %s\n", program, complaint.c_str());
    std::fprintf(stderr,
        "usage: %s SERVER_BINARY [--smoke] [--phase "
        "relay|storm|memory|lifetime|flood|hoard|longlines|fair|days|room]...\n"
        "       [--relay-clients N,N,...] [--runs N] [--storm N,N,...] [--storm-limit S]\n"
        "       [--lifetime N,N,...] [--flood-seconds N]\n"
        "       [--days-seconds N] [--days-log-mib N] [--no-save] [--seconds N] [--mix-only]\n"
        "       [--room CLIENTS:TALKING:RATE,...] [--room-seconds N] [--capacity N,N,...]\n"
        "       [--room-trace FILE] [--room-web]\n"
        "  --seconds N: how long the fair phase runs all hostile kinds at once (60)\n"
        "  --mix-only: the fair phase runs only that\n"
        "  --days-log-mib: the size of the log the days phase saves (1024)\n"
        "  --storm: the clients of each reconnect storm (300,1000,2000)\n"
        "  --storm-limit: how long a storm may take before it is stopped (120)\n"
        "  --room: the room phase's loads (1000:100:100,1000:100:300,1000:1000:600,100:100:2000)\n"
        "  --capacity: the room phase also searches each server's capacity at these clients\n"
        "  --room-trace: ours traces where each line's time went in the room phase\n"
        "  --room-web: the room phase runs ours again with half its clients on WebSocket\n",
        program);
    return 2;
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc < 2)
        return usage(argv[0], {});
    Options options;
    options.server = argv[1];
    std::vector<std::string> wanted;
    for (int i = 2; i < argc; ++i) {
        const std::string_view argument = argv[i];
        const bool valued = i + 1 < argc;
        if (argument == "--smoke") {
            makeSmoke(options);
        } else if (argument == "--no-save") {
            options.days.save = false;
        } else if (argument == "--room-web") {
            options.room.halfWeb = true;
        } else if (argument == "--mix-only") {
            options.fair.mixOnly = true;
        } else if (!valued) {
            return usage(
                argv[0], "unknown option, or one without its value: " + std::string(argument));
        } else if (argument == "--phase") {
            wanted.emplace_back(argv[++i]);
            if (std::none_of(std::begin(phases), std::end(phases),
                    [&](const auto& phase) { return wanted.back() == phase.name; }))
                return usage(argv[0], "no phase is called " + wanted.back());
        } else if (argument == "--lifetime") {
            options.lifetimeCheckpoints = numbers(argv[++i]);
        } else if (argument == "--relay-clients") {
            options.relayClients = numbers(argv[++i]);
        } else if (argument == "--storm") {
            options.storms = numbers(argv[++i]);
        } else if (argument == "--storm-limit") {
            options.stormLimit = std::atof(argv[++i]);
        } else if (argument == "--runs") {
            options.runs = std::max(1, std::atoi(argv[++i]));
        } else if (argument == "--days-seconds") {
            options.days.seconds = std::atof(argv[++i]);
        } else if (argument == "--days-log-mib") {
            options.days.bigLog = std::max(1LL, std::atoll(argv[++i])) << 20;
        } else if (argument == "--flood-seconds") {
            options.floodSeconds = std::atoi(argv[++i]);
        } else if (argument == "--room") {
            options.room.loads.clear();
            for (std::string_view load = argv[++i]; !load.empty();) {
                const size_t comma = std::min(load.find(','), load.size());
                int clients = 0;
                int talkers = 0;
                double rate = 0;
                std::sscanf(std::string(load.substr(0, comma)).c_str(), "%d:%d:%lf", &clients,
                    &talkers, &rate);
                options.room.loads.push_back({ clients, std::max(1, talkers), rate });
                load.remove_prefix(std::min(comma + 1, load.size()));
            }
        } else if (argument == "--room-trace") {
            options.room.traceFile = argv[++i];
        } else if (argument == "--room-seconds") {
            options.room.seconds = std::atof(argv[++i]);
        } else if (argument == "--capacity") {
            options.room.capacityClients = numbers(argv[++i]);
        } else if (argument == "--seconds") {
            options.fair.allSeconds = std::atof(argv[++i]);
        } else {
            return usage(argv[0], "unknown option " + std::string(argument));
        }
    }
    ::signal(SIGPIPE, SIG_IGN);
    raiseOpenFileLimit();
    for (const auto& phase : phases) {
        if (wanted.empty() || std::find(wanted.begin(), wanted.end(), phase.name) != wanted.end())
            phase.run(options);
    }
    return 0;
}
