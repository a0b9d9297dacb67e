#include "phases.h"

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

} // namespace

// For each number of clients, ours, ngircd and the floor side by side in the
// same run; the run is repeated and each ratio reported with the median of
// the runs.
void relay(const Options& options)
{
    const bool withPeer = IrcPeer::installed();
    std::printf("\n## relay: one client sends %d lines of 32 bytes, each when the one before has "
                "reached every client\n\n",
        options.lines);
    if (!withPeer)
        std::printf("(ngircd is not installed: %s missing)\n\n", IrcPeer::binary);
    std::printf("| run | clients | ours us/msg | ngircd us/msg | ours / ngircd | floor us/msg | "
                "ours / floor | ours p50 / p99 ms | ngircd p50 / p99 ms |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|\n");
    const std::string text = "relay: 0123456789abcdefghijklmnop"; // 32 bytes, a chat line
    std::vector<std::vector<double>> peerRatios(options.relayClients.size()),
        floorRatios(options.relayClients.size());
    for (int run = 1; run <= options.runs; ++run) {
        ServerProcess ours(options.server);
        ClientPool ourPool(ours.port());
        std::unique_ptr<IrcPeer> peer = withPeer ? std::make_unique<IrcPeer>() : nullptr;
        std::unique_ptr<ClientPool> peerPool = withPeer
            ? std::make_unique<ClientPool>(peer->process().port(), ClientPool::Unit::Lines)
            : nullptr;
        for (size_t n = 0; n < options.relayClients.size(); ++n) {
            const int clients = options.relayClients[n];
            while (ourPool.size() < clients) {
                if (!ourPool.connect(options.phaseLimit)) {
                    std::printf("| %d | %d | could not connect all clients |\n", run, clients);
                    return;
                }
            }
            const LoopResult our = closedLoop(
                ours, ourPool, options.lines, text, long(text.size()), true, options.phaseLimit);
            LoopResult their;
            if (peer) {
                while (peerPool->size() < clients) {
                    if (!peer->join(*peerPool, peerPool->size(), options.phaseLimit)) {
                        std::printf(
                            "| %d | %d | could not join all clients to ngircd |\n", run, clients);
                        return;
                    }
                }
                peerPool->drainUntilQuiet(0.3, options.phaseLimit);
                peerPool->expectNothingMore();
                their = closedLoop(peer->process(), *peerPool, options.lines,
                    IrcPeer::chatLine(text), 1, false, options.phaseLimit);
            }
            const double floor
                = floorMicroseconds(clients, text, std::max(100000LL, (long long)clients * 20));
            peerRatios[n].push_back(peer ? our.cpuPerDelivery / their.cpuPerDelivery : 0);
            floorRatios[n].push_back(our.cpuPerDelivery / floor);
            std::printf(
                "| %d | %d | %.2f%s | %.2f%s | %.2f | %.2f | %.2f | %.2f / %.2f | %.2f / %.2f |\n",
                run, clients, our.cpuPerDelivery, our.complete ? "" : " (stopped early)",
                their.cpuPerDelivery, !peer || their.complete ? "" : " (stopped early)",
                peerRatios[n].back(), floor, floorRatios[n].back(), our.p50, our.p99, their.p50,
                their.p99);
            std::fflush(stdout);
        }
    }
    std::printf(
        "\n| clients | ours / ngircd, median of %d runs | ours / floor, median |\n|---|---|---|\n",
        options.runs);
    for (size_t n = 0; n < options.relayClients.size(); ++n)
        std::printf("| %d | %.2f | %.2f |\n", options.relayClients[n],
            percentile(peerRatios[n], 0.5), percentile(floorRatios[n], 0.5));
    std::fflush(stdout);
}

} // namespace bench
