// Load generator for the chat server. Starts the real server headless on a
// free loopback port, drives it with plain TCP clients on one epoll
// descriptor, and prints one table. Every wait is bounded in time.
//
//   quenvar-load SERVER_BINARY [--smoke] [--phase PHASE]...
//
// Phases: relay, storm, memory, lifetime, flood, longlines, fair, days.

#include "hostile_phases.h"
#include "irc_peer.h"
#include "load_rig.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

using namespace bench;

namespace {

struct Options {
    std::string server;
    std::vector<int> relayClients { 10, 100, 1000, 5000 };
    int lines = 1000;
    int runs = 3;
    // A storm of N costs about N³/3 messages: 1,000 clients would take some
    // 330 million, a quarter of an hour.
    std::vector<int> joinStorms { 100, 500 };
    // Each a roster row of its own, so filled by a storm.
    std::vector<int> idleClients { 500 };
    std::vector<int> lifetimeCheckpoints { 1000, 10000, 100000 };
    int floodSeconds = 60;
    double longLineSeconds = 10;
    FairOptions fair;
    DaysOptions days;
    double phaseLimit = 900;
};

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

// Ours, ngircd (where installed) and the bare-send floor side by side, in
// the same run, for each number of clients; the run is repeated and each
// ratio reported with the median of the runs.
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

std::string nickname(int i)
{
    char name[16];
    std::snprintf(name, sizeof name, "c%05d", i);
    return name;
}

// Bytes of a join's roster broadcast to one slot: "NEWLIST", "NEWUSER:"
// and the name, "USER:" and each row.
long long joinBroadcastBytes(long long rosterNameBytes, int rows, const std::string& name)
{
    return 7 + 8 + long(name.size()) + 5LL * rows + rosterNameBytes;
}

// Clients that join one after another, each from an address of its own;
// every join's roster reaches every client before the next one joins.
class JoiningClients {
public:
    explicit JoiningClients(ClientPool& pool)
        : m_pool(pool)
    {
    }
    // Messages the server has sent for the joins so far.
    long long messages() const { return m_messages; }

    bool joinOne(double limitSeconds)
    {
        if (!m_pool.connect(limitSeconds))
            return false;
        const int joined = m_pool.size() - 1;
        const std::string name = nickname(joined);
        m_rosterNameBytes += long(name.size());
        const int rows = joined + 2; // the operator's and every client's
        for (int i = 0; i < m_pool.size(); ++i)
            m_pool.addTarget(i, joinBroadcastBytes(m_rosterNameBytes, rows, name));
        m_pool.send(joined, "USER:" + name);
        if (!m_pool.waitForTargets(limitSeconds))
            return false;
        m_messages += 1 + (long long)m_pool.size() * (2 + rows);
        return true;
    }

private:
    ClientPool& m_pool;
    long long m_rosterNameBytes = 2; // "op"
    long long m_messages = 0;
};

void joinStorm(const Options& options)
{
    std::printf("\n## join storm: clients join one after another\n\n");
    std::printf("| clients | total s | messages sent | server CPU us/msg | last join ms "
                "|\n|---|---|---|---|---|\n");
    for (const int clients : options.joinStorms) {
        ServerProcess server(options.server);
        ClientPool pool(server.port());
        JoiningClients joining(pool);
        double lastJoin = 0;
        const double cpuBefore = server.cpuSeconds();
        const auto start = Clock::now();
        while (pool.size() < clients && secondsSince(start) < options.phaseLimit) {
            const auto joinStart = Clock::now();
            if (!joining.joinOne(options.phaseLimit))
                break;
            lastJoin = secondsSince(joinStart) * 1e3;
        }
        const double total = secondsSince(start);
        const double cpu = (server.cpuSeconds() - cpuBefore) * 1e6 / double(joining.messages());
        std::printf("| %d%s | %.2f | %lld | %.2f | %.1f |\n", clients,
            pool.size() < clients ? " (stopped early)" : "", total, joining.messages(), cpu,
            lastJoin);
        std::fflush(stdout);
    }
}

void memory(const Options& options)
{
    std::printf(
        "\n## memory: idle joined clients (each a roster row, a join notice and a connection)\n\n");
    std::printf("| clients | server RSS MiB | KiB per client | then a line reached all | s "
                "|\n|---|---|---|---|---|\n");
    long baseline = 0;
    {
        ServerProcess server(options.server);
        baseline = server.rssKiB();
        std::printf("| 0 | %.1f | | | |\n", baseline / 1024.0);
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
        const std::string line = "still: served";
        for (int i = 0; i < pool.size(); ++i)
            pool.addTarget(i, long(line.size()));
        pool.send(pool.size() - 1, line);
        const bool served = filled && pool.waitForTargets(60);
        std::printf("| %d | %.1f | %.1f | %s | %.1f |\n", clients, rss / 1024.0,
            double(rss - baseline) / clients, served ? "yes" : "no", secondsSince(start));
        std::fflush(stdout);
    }
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

} // namespace

int main(int argc, char* argv[])
{
    if (argc < 2) {
        std::fprintf(stderr,
            "usage: %s SERVER_BINARY [--smoke] [--phase "
            "relay|storm|memory|lifetime|flood|longlines|fair|days]...\n"
            "       [--relay-clients N,N,...] [--lifetime N,N,...] [--flood-seconds N] "
            "[--days-seconds N] [--no-save]\n",
            argv[0]);
        return 2;
    }
    ::signal(SIGPIPE, SIG_IGN);
    raiseOpenFileLimit();
    Options options;
    options.server = argv[1];
    std::vector<std::string> phases;
    for (int i = 2; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "--smoke") {
            options.relayClients = { 10 };
            options.lines = 50;
            options.runs = 1;
            options.joinStorms = { 20 };
            options.idleClients = { 50 };
            options.lifetimeCheckpoints = { 100, 300 };
            options.floodSeconds = 3;
            options.longLineSeconds = 1;
            options.fair = { 10, 1, 2, 2 };
            options.days = { 60, 64LL << 20, true };
            options.phaseLimit = 60;
        } else if (argument == "--phase" && i + 1 < argc) {
            phases.emplace_back(argv[++i]);
        } else if (argument == "--lifetime" && i + 1 < argc) {
            options.lifetimeCheckpoints = numbers(argv[++i]);
        } else if (argument == "--relay-clients" && i + 1 < argc) {
            options.relayClients = numbers(argv[++i]);
        } else if (argument == "--runs" && i + 1 < argc) {
            options.runs = std::max(1, std::atoi(argv[++i]));
        } else if (argument == "--days-seconds" && i + 1 < argc) {
            options.days.seconds = std::atof(argv[++i]);
        } else if (argument == "--no-save") {
            options.days.save = false;
        } else if (argument == "--flood-seconds" && i + 1 < argc) {
            options.floodSeconds = std::atoi(argv[++i]);
        }
    }
    const auto wanted = [&](const char* phase) {
        return phases.empty() || std::find(phases.begin(), phases.end(), phase) != phases.end();
    };
    if (wanted("relay"))
        relay(options);
    if (wanted("storm"))
        joinStorm(options);
    if (wanted("memory"))
        memory(options);
    if (wanted("lifetime"))
        lifetime(options.server, options.lifetimeCheckpoints, options.phaseLimit);
    if (wanted("flood"))
        flood(options.server, options.floodSeconds);
    if (wanted("longlines"))
        longLines(options.server, options.longLineSeconds);
    if (wanted("fair"))
        fair(options.server, options.fair);
    if (wanted("days"))
        days(options.server, options.days);
    return 0;
}
