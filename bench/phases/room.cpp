#include "phases.h"

#include "irc_peer.h"
#include "server_process.h"
#include "sockets.h"
#include "stamped_room.h"
#include "web_socket.h"

#include <cstdio>
#include <memory>
#include <optional>

#include <unistd.h>

namespace bench {

namespace {

// A server of the comparison with its room of clients, each from an address
// of its own: ours greets them, the peers register them and join them to
// one channel.
struct ServedRoom {
    std::unique_ptr<ServerProcess> ours;
    std::unique_ptr<IrcPeer> peer;
    std::unique_ptr<StampedRoom> room;

    ServerProcess& process() { return ours ? *ours : peer->process(); }
};

const char* serverName(std::optional<IrcPeer::Kind> kind)
{
    return kind ? IrcPeer::name(*kind) : "ours";
}

// Ours greets TCP clients on its port and WebSocket clients on its web port;
// with `halfWeb`, every other client is one of the latter.
std::unique_ptr<ServedRoom> openRoom(
    const Options& options, std::optional<IrcPeer::Kind> kind, int clients, bool halfWeb = false)
{
    auto served = std::make_unique<ServedRoom>();
    std::vector<int> fds;
    if (kind) {
        served->peer = std::make_unique<IrcPeer>(*kind);
        fds = served->peer->join(0, clients, options.phaseLimit);
        if (fds.empty())
            return nullptr;
        served->room = std::make_unique<StampedRoom>(std::move(fds), IrcPeer::chatLine, false);
        return served;
    }
    const std::string& trace = options.room.traceFile;
    served->ours = std::make_unique<ServerProcess>(options.server, "Settings",
        trace.empty() ? std::vector<std::string> {}
                      : std::vector<std::string> { "--trace", trace });
    std::vector<bool> web;
    std::vector<int> tcp;
    for (int i = 0; i < clients; ++i) {
        const bool overWeb = halfWeb && i % 2 == 1;
        const int fd = overWeb ? connectWebSocket(served->ours->webPort(), clientAddress(i))
                               : connectTo(served->ours->port(), clientAddress(i));
        if (fd < 0)
            break;
        fds.push_back(fd);
        web.push_back(overWeb);
        // Opened one at a time: the web port keeps only a few requests waiting.
        if (overWeb && !waitForAll({ fd }, "NICK", options.phaseLimit))
            break;
        if (!overWeb)
            tcp.push_back(fd);
    }
    if (int(fds.size()) < clients || !waitForAll(tcp, "NICK", options.phaseLimit)) {
        for (const int fd : fds)
            ::close(fd);
        return nullptr;
    }
    served->room = std::make_unique<StampedRoom>(
        std::move(fds), [](const std::string& text) { return text; }, true, web);
    return served;
}

// The load generator's own figures: its CPU, and how late it sent.
std::string generator(const StampedRoom::Result& result)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.0f%%, %.2f / %.2f", result.generatorCpu * 100,
        result.sendLateness.percentile(0.99), result.sendLateness.maximum());
    return text;
}

struct Measured {
    StampedRoom::Result result;
    double cpuPerDelivery = 0;

    long long lost() const { return result.expected - result.delivered; }
    bool keepsUp(double p99Limit) const
    {
        return lost() == 0 && result.latencies.percentile(0.99) <= p99Limit;
    }
};

Measured measure(ServedRoom& served, int talkers, double rate, double seconds, double grace)
{
    const double cpuBefore = served.process().cpuSeconds();
    Measured measured { served.room->run(talkers, rate, seconds, grace) };
    measured.cpuPerDelivery = (served.process().cpuSeconds() - cpuBefore) * 1e6
        / double(std::max(1LL, measured.result.delivered));
    return measured;
}

// Ours, then the peers installed.
std::vector<std::optional<IrcPeer::Kind>> servers()
{
    std::vector<std::optional<IrcPeer::Kind>> list { std::nullopt };
    for (const IrcPeer::Kind kind : IrcPeer::installedKinds())
        list.emplace_back(kind);
    return list;
}

// The highest rate, doubled and then halved between, at which the server
// keeps every line and its p99 within the limit; each try on a fresh server.
double capacity(const Options& options, std::optional<IrcPeer::Kind> kind, int clients)
{
    const RoomOptions& room = options.room;
    const int talkers = std::min(clients, room.capacityTalkers);
    const auto keepsUp = [&](double rate) {
        const auto served = openRoom(options, kind, clients);
        if (!served)
            return false;
        const Measured measured
            = measure(*served, talkers, rate, room.searchSeconds, room.graceSeconds);
        std::printf("| %d | %s | %.0f | %.1f | %lld | %s |\n", clients, serverName(kind), rate,
            measured.result.latencies.percentile(0.99), measured.lost(),
            generator(measured.result).c_str());
        std::fflush(stdout);
        return measured.keepsUp(room.p99LimitMs);
    };
    double good = 0;
    double bad = room.firstRate;
    while (bad <= room.highestRate && keepsUp(bad)) {
        good = bad;
        bad *= 2;
    }
    // At the highest rate tried, the load generator is the limit.
    if (bad > room.highestRate)
        return good;
    for (int step = 0; step < room.bisections && good > 0; ++step) {
        const double middle = (good + bad) / 2;
        (keepsUp(middle) ? good : bad) = middle;
    }
    return good;
}

void printRow(const RoomLoad& load, const char* server, const LatencyHistogram& latencies,
    long long lost, const std::string& cpu, const std::string& generator)
{
    std::printf("| %d | %d | %.0f | %s | %lld | %lld | %.2f | %.2f | %.2f | %.1f | %s | %s |\n",
        load.clients, load.talkers, load.rate, server, latencies.count(), lost,
        latencies.percentile(0.5), latencies.percentile(0.99), latencies.percentile(0.999),
        latencies.maximum(), cpu.c_str(), generator.c_str());
    std::fflush(stdout);
}

std::string cpuText(double microseconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", microseconds);
    return text;
}

// Ours again with every other client on WebSocket, talking ones too: the
// whole run's figures, then each kind's. What a WebSocket delivery costs is
// estimated as what the run spent beyond the all-TCP run's cost for each of
// its TCP deliveries.
void measureHalfWeb(const Options& options, const RoomLoad& load, const Measured& allTcp)
{
    const RoomOptions& room = options.room;
    const auto served = openRoom(options, std::nullopt, load.clients, true);
    if (!served) {
        std::printf(
            "| %d | %d | %.0f | ours, half on WebSocket | could not connect all clients |\n",
            load.clients, load.talkers, load.rate);
        return;
    }
    const Measured measured
        = measure(*served, load.talkers, load.rate, room.seconds, room.graceSeconds);
    const StampedRoom::Result& result = measured.result;
    printRow(load, "ours, half on WebSocket", result.latencies, measured.lost(),
        cpuText(measured.cpuPerDelivery), generator(result));
    const long long webClients = load.clients / 2;
    const long long tcpClients = load.clients - webClients;
    printRow(load, "ours, to its TCP clients", result.tcpLatencies,
        result.sent * tcpClients - result.tcpLatencies.count(), "", "");
    const double webCpu = measured.cpuPerDelivery * double(result.delivered)
        - allTcp.cpuPerDelivery * double(result.tcpLatencies.count());
    printRow(load, "ours, to its WebSocket clients", result.webLatencies,
        result.sent * webClients - result.webLatencies.count(),
        cpuText(webCpu / double(std::max(1LL, result.webLatencies.count()))) + " (estimated)", "");
}

} // namespace

void room(const Options& options)
{
    const RoomOptions& room = options.room;
    const auto list = servers();
    std::printf("\n## room: open loop, lines evenly spaced from the talking clients in turn, "
                "%.0f s each; latency from when a line was due to its arrival at each client; "
                "lost: not delivered %.0f s after the end\n\n",
        room.seconds, room.graceSeconds);
    std::printf("| clients | talking | lines/s | server | deliveries | lost | p50 ms | p99 ms | "
                "p99.9 ms | max ms | us server CPU / delivery | load generator: CPU, sent late p99 "
                "/ max ms |\n"
                "|---|---|---|---|---|---|---|---|---|---|---|---|\n");
    for (const RoomLoad& load : room.loads) {
        for (const auto kind : list) {
            auto served = openRoom(options, kind, load.clients);
            if (!served) {
                std::printf("| %d | %d | %.0f | %s | could not connect all clients |\n",
                    load.clients, load.talkers, load.rate, serverName(kind));
                continue;
            }
            const Measured measured
                = measure(*served, load.talkers, load.rate, room.seconds, room.graceSeconds);
            printRow(load, serverName(kind), measured.result.latencies, measured.lost(),
                cpuText(measured.cpuPerDelivery), generator(measured.result));
            served.reset();
            if (!kind && room.halfWeb)
                measureHalfWeb(options, load, measured);
        }
    }
    if (room.capacityClients.empty())
        return;
    std::printf("\n## room capacity: the highest lines/s with nothing lost and p99 within %.0f ms, "
                "%d talking, %.1f s a try\n\n"
                "| clients | server | lines/s | p99 ms | lost | load generator: CPU, sent late p99 "
                "/ max ms |\n"
                "|---|---|---|---|---|---|\n",
        room.p99LimitMs, room.capacityTalkers, room.searchSeconds);
    std::vector<std::string> summary;
    for (const int clients : room.capacityClients) {
        for (const auto kind : list) {
            char line[128];
            std::snprintf(line, sizeof line, "| %d | %s | %.0f |", clients, serverName(kind),
                capacity(options, kind, clients));
            summary.emplace_back(line);
        }
    }
    std::printf("\n| clients | server | capacity, lines/s |\n|---|---|---|\n");
    for (const std::string& line : summary)
        std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

} // namespace bench
