#include "phases.h"

#include "client_pool.h"
#include "clock.h"
#include "floor.h"
#include "irc_peer.h"
#include "server_process.h"
#include "statistics.h"

#include <cstdio>
#include <memory>

namespace bench {

namespace {

// A closed loop: client 0 sends `lines` chat lines, each when the one before
// has reached every receiver; `perReceiver` is what each receiver then has
// to have got (bytes or lines, as the pool counts).
struct LoopResult {
    double cpuPerDelivery = 0;
    double p50 = 0;
    double p99 = 0;
    bool complete = false;
};

LoopResult closedLoop(ServerProcess& server, ClientPool& pool, int lines,
    const std::string& message, long long perReceiver, bool senderReceives, double limitSeconds)
{
    const double cpuBefore = server.cpuSeconds();
    const auto start = Clock::now();
    std::vector<double> latencies;
    for (int l = 0; l < lines && secondsSince(start) < limitSeconds; ++l) {
        for (int i = senderReceives ? 0 : 1; i < pool.size(); ++i)
            pool.addTarget(i, perReceiver);
        const auto sent = Clock::now();
        pool.send(0, message);
        if (!pool.waitForTargets(limitSeconds))
            break;
        latencies.push_back(secondsSince(sent) * 1e3);
    }
    const double deliveries = double(latencies.size()) * (pool.size() - (senderReceives ? 0 : 1));
    return { (server.cpuSeconds() - cpuBefore) * 1e6 / deliveries, percentile(latencies, 0.5),
        percentile(latencies, 0.99), int(latencies.size()) == lines };
}

// A markdown table's separators for `columns` more columns.
std::string separators(size_t columns)
{
    std::string text;
    for (size_t c = 0; c < columns; ++c)
        text += "---|";
    return text;
}

// The peers installed, each with its clients.
struct Peer {
    std::unique_ptr<IrcPeer> server;
    std::unique_ptr<ClientPool> pool;
};

} // namespace

// For each number of clients, ours, the peers and the floor side by side in
// the same run; the run is repeated and each ratio reported with the median
// of the runs.
void relay(const Options& options)
{
    const std::vector<IrcPeer::Kind> kinds = IrcPeer::installedKinds();
    std::printf("\n## relay: one client sends %d lines of 32 bytes, each when the one before has "
                "reached every client\n\n",
        options.lines);
    std::printf(
        "| run | clients | ours us/msg | floor us/msg | ours / floor | ours p50 / p99 ms |");
    for (const IrcPeer::Kind kind : kinds)
        std::printf(" %s us/msg | ours / %s | %s p50 / p99 ms |", IrcPeer::name(kind),
            IrcPeer::name(kind), IrcPeer::name(kind));
    std::printf("\n|---|---|---|---|---|---|%s\n", separators(kinds.size() * 3).c_str());
    const std::string text = "relay: 0123456789abcdefghijklmnop"; // 32 bytes, a chat line
    const size_t loads = options.relayClients.size();
    std::vector<std::vector<double>> floorRatios(loads);
    std::vector<std::vector<std::vector<double>>> peerRatios(
        kinds.size(), std::vector<std::vector<double>>(loads));
    for (int run = 1; run <= options.runs; ++run) {
        ServerProcess ours(options.server);
        ClientPool ourPool(ours.port());
        std::vector<Peer> peers;
        for (const IrcPeer::Kind kind : kinds) {
            auto server = std::make_unique<IrcPeer>(kind);
            auto pool
                = std::make_unique<ClientPool>(server->process().port(), ClientPool::Unit::Lines);
            peers.push_back({ std::move(server), std::move(pool) });
        }
        for (size_t n = 0; n < loads; ++n) {
            const int clients = options.relayClients[n];
            while (ourPool.size() < clients) {
                if (!ourPool.connect(options.phaseLimit)) {
                    std::printf("| %d | %d | could not connect all clients |\n", run, clients);
                    return;
                }
            }
            const LoopResult our = closedLoop(
                ours, ourPool, options.lines, text, long(text.size()), true, options.phaseLimit);
            const double floor
                = floorMicroseconds(clients, text, std::max(100000LL, (long long)clients * 20));
            floorRatios[n].push_back(our.cpuPerDelivery / floor);
            std::printf("| %d | %d | %.2f%s | %.2f | %.2f | %.2f / %.2f |", run, clients,
                our.cpuPerDelivery, our.complete ? "" : " (stopped early)", floor,
                floorRatios[n].back(), our.p50, our.p99);
            for (size_t p = 0; p < peers.size(); ++p) {
                ClientPool& pool = *peers[p].pool;
                for (const int fd :
                    peers[p].server->join(pool.size(), clients - pool.size(), options.phaseLimit))
                    pool.adopt(fd);
                if (pool.size() < clients) {
                    std::printf(" could not join all clients |\n");
                    return;
                }
                pool.drainUntilQuiet(0.3, options.phaseLimit);
                pool.expectNothingMore();
                const LoopResult their = closedLoop(peers[p].server->process(), pool, options.lines,
                    IrcPeer::chatLine(text), 1, false, options.phaseLimit);
                peerRatios[p][n].push_back(our.cpuPerDelivery / their.cpuPerDelivery);
                std::printf(" %.2f%s | %.2f | %.2f / %.2f |", their.cpuPerDelivery,
                    their.complete ? "" : " (stopped early)", peerRatios[p][n].back(), their.p50,
                    their.p99);
            }
            std::printf("\n");
            std::fflush(stdout);
        }
    }
    std::printf("\n| clients | ours / floor, median of %d runs |", options.runs);
    for (const IrcPeer::Kind kind : kinds)
        std::printf(" ours / %s, median |", IrcPeer::name(kind));
    std::printf("\n|---|---|%s\n", separators(kinds.size()).c_str());
    for (size_t n = 0; n < loads; ++n) {
        std::printf("| %d | %.2f |", options.relayClients[n], percentile(floorRatios[n], 0.5));
        for (size_t p = 0; p < kinds.size(); ++p)
            std::printf(" %.2f |", percentile(peerRatios[p][n], 0.5));
        std::printf("\n");
    }
    std::fflush(stdout);
}

} // namespace bench
