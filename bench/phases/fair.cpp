// Fair share: ordinary clients chat at a line a second beside one kind of
// hostile client at a time, then beside all kinds at once. Every client comes
// from an address of its own. What counts is each ordinary line's round trip,
// from its sender's write until its own copy comes back.

#include "phases.h"
#include "slow_lines.h"

#include "client.h"
#include "clock.h"
#include "server_process.h"
#include "sockets.h"
#include "statistics.h"

#include <algorithm>
#include <cstdio>

#include <cerrno>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string_view>

#include <sys/epoll.h>
#include <unistd.h>

namespace bench {

namespace {

constexpr double greetingLimit = 10;

std::vector<double> millisecondsOf(const std::vector<RoundTrip>& roundTrips)
{
    std::vector<double> ms;
    for (const RoundTrip& trip : roundTrips)
        ms.push_back(trip.ms);
    return ms;
}

// Per minute of a long run: its lines, its slowest line, and how many took
// over 100 ms.
void printMinutes(const std::vector<RoundTrip>& roundTrips, Clock::time_point start)
{
    std::vector<std::vector<double>> minutes;
    for (const RoundTrip& trip : roundTrips) {
        const auto minute = size_t(Seconds(trip.sent - start).count() / 60);
        minutes.resize(std::max(minutes.size(), minute + 1));
        minutes[minute].push_back(trip.ms);
    }
    std::printf("\n| minute | lines | slowest ms | over 100 ms |\n|---|---|---|---|\n");
    for (size_t m = 0; m < minutes.size(); ++m)
        std::printf("| %zu | %zu | %.1f | %ld |\n", m + 1, minutes[m].size(), maximum(minutes[m]),
            long(std::count_if(
                minutes[m].begin(), minutes[m].end(), [](double ms) { return ms > 100; })));
    std::printf("\n");
}

// Sends a line a second and times each until its own copy comes back. Its
// lines come back in the order it sent them, each with a marker of its own.
class OrdinaryClient final : public Client {
public:
    OrdinaryClient(int id, int port, int epoll, std::vector<RoundTrip>& roundTrips)
        : Client(port, clientAddress(id), epoll)
        , m_id(id)
        , m_roundTrips(roundTrips)
    {
    }
    int outstanding() const { return int(m_waiting.size()); }
    int sent() const { return m_sent; }
    void sendLine()
    {
        const std::string marker = markerOf(m_sent++);
        m_waiting.push_back({ marker, Clock::now() });
        write(marker + " an ordinary line");
    }

private:
    std::string markerOf(int line) const
    {
        return "<o" + std::to_string(m_id) + "#" + std::to_string(line) + ">";
    }
    void onData(std::string_view bytes) override
    {
        if (m_waiting.empty())
            return Client::onData(bytes);
        m_carry.append(bytes);
        while (!m_waiting.empty()) {
            const size_t found = m_carry.find(m_waiting.front().first);
            if (found == std::string::npos)
                break;
            m_roundTrips.push_back({ m_waiting.front().first, m_waiting.front().second,
                secondsSince(m_waiting.front().second) * 1e3 });
            m_carry.erase(0, found + m_waiting.front().first.size());
            m_waiting.pop_front();
        }
        const size_t keep = m_waiting.empty() ? 0 : m_waiting.front().first.size();
        if (m_carry.size() > keep)
            m_carry.erase(0, m_carry.size() - keep);
    }

    int m_id;
    std::vector<RoundTrip>& m_roundTrips;
    int m_sent = 0;
    std::deque<std::pair<std::string, Clock::time_point>> m_waiting;
    std::string m_carry;
};

// Reads the phase's sockets for at most `seconds`; true once `done` holds.
bool pumpUntil(int epoll, double seconds, const std::function<bool()>& done)
{
    const auto start = Clock::now();
    while (!done()) {
        if (secondsSince(start) > seconds)
            return false;
        epoll_event events[256];
        const int ready = ::epoll_wait(epoll, events, 256, 1);
        for (int e = 0; e < ready; ++e)
            static_cast<Client*>(events[e].data.ptr)->readAll();
    }
    return true;
}

// One kind of hostile behaviour, driven by the phase's loop every
// millisecond or so; each instance comes from an address of its own.
class Hostile {
public:
    Hostile(int port, int epoll, in_addr_t from)
        : m_port(port)
        , m_epoll(epoll)
        , m_from(from)
    {
    }
    virtual ~Hostile() = default;
    virtual void tick() = 0;

protected:
    std::unique_ptr<Client> connect(bool reads = true) const
    {
        return std::make_unique<Client>(m_port, m_from, reads ? m_epoll : -1);
    }
    // True every `seconds`, the first time at once.
    bool due(double seconds)
    {
        if (m_last != Clock::time_point() && secondsSince(m_last) < seconds)
            return false;
        m_last = Clock::now();
        return true;
    }

private:
    int m_port;
    int m_epoll;
    in_addr_t m_from;
    Clock::time_point m_last;
};

// Connects, probes, waits for "OK", closes, pauses 50 ms, and again.
class Prober final : public Hostile {
public:
    using Hostile::Hostile;
    void tick() override
    {
        if (!m_probe) {
            if (secondsSince(m_closed) < 0.05)
                return;
            m_probe = connect();
            m_probe->write("SCAN");
            m_started = Clock::now();
        }
        if (m_probe->received().find("OK") != std::string::npos || m_probe->gone()
            || secondsSince(m_started) > greetingLimit) {
            m_probe.reset();
            m_closed = Clock::now();
        }
    }

private:
    std::unique_ptr<Client> m_probe;
    Clock::time_point m_started;
    Clock::time_point m_closed;
};

// Joins again every 20 ms under a new nickname, on one connection.
class RepeatJoiner final : public Hostile {
public:
    using Hostile::Hostile;
    void tick() override
    {
        if (!m_peer)
            m_peer = connect();
        if (due(0.02))
            m_peer->write("USER:r" + std::to_string(++m_joins));
    }

private:
    std::unique_ptr<Client> m_peer;
    int m_joins = 0;
};

// Writes `chunk` again once the last one has gone, at most every `seconds`;
// reads all it is sent.
class RepeatedWriter : public Hostile {
public:
    RepeatedWriter(int port, int epoll, in_addr_t from, std::string chunk, double seconds)
        : Hostile(port, epoll, from)
        , m_chunk(std::move(chunk))
        , m_seconds(seconds)
    {
    }
    void tick() override
    {
        if (!m_peer)
            m_peer = connect();
        m_peer->flush();
        if (m_peer->flushed() && due(m_seconds))
            m_peer->write(m_chunk);
    }

private:
    std::string m_chunk;
    double m_seconds;
    std::unique_ptr<Client> m_peer;
};

// 16 KiB writes as fast as the connection takes them.
class Flooder final : public RepeatedWriter {
public:
    Flooder(int port, int epoll, in_addr_t from)
        : RepeatedWriter(port, epoll, from, "flood " + std::string(16 * 1024 - 6, 'f'), 0)
    {
    }
};

// A line of a megabyte every 3 s, as far as the connection takes it.
class LongLiner final : public RepeatedWriter {
public:
    LongLiner(int port, int epoll, in_addr_t from)
        : RepeatedWriter(port, epoll, from, std::string(1024 * 1024, 'L'), 3)
    {
    }
};

// Every 2 s: connects, joins with a nickname of 64 KiB, and closes once it
// is written.
class LongNickJoiner final : public Hostile {
public:
    using Hostile::Hostile;
    void tick() override
    {
        if (m_peer) {
            m_peer->flush();
            if (!m_sent && m_peer->greeted()) {
                m_peer->write("USER:" + std::string(64 * 1024, 'n'));
                m_sent = true;
            }
            if ((m_sent && m_peer->flushed()) || m_peer->gone()
                || secondsSince(m_started) > greetingLimit)
                m_peer.reset();
        }
        if (!m_peer && due(2)) {
            m_peer = connect();
            m_sent = false;
            m_started = Clock::now();
        }
    }

private:
    std::unique_ptr<Client> m_peer;
    bool m_sent = false;
    Clock::time_point m_started;
};

// Joins once and never reads what it is sent.
class NonReader final : public Hostile {
public:
    using Hostile::Hostile;
    void tick() override
    {
        if (!m_peer) {
            m_peer = connect(false);
            m_peer->write("USER:silent");
        }
    }

private:
    std::unique_ptr<Client> m_peer;
};

// Every second: resets the connection it has, connects again and joins.
class JoinResetter final : public Hostile {
public:
    using Hostile::Hostile;
    void tick() override
    {
        if (m_peer && !m_joined && m_peer->greeted()) {
            m_peer->write("USER:j" + std::to_string(++m_joins));
            m_joined = true;
        }
        if (due(1)) {
            if (m_peer)
                m_peer->close(true);
            m_peer = connect();
            m_joined = false;
        }
    }

private:
    std::unique_ptr<Client> m_peer;
    bool m_joined = false;
    int m_joins = 0;
};

struct Kind {
    const char* name;
    std::function<void(std::vector<std::unique_ptr<Hostile>>&, int port, int epoll)> add;
};

template<typename Behaviour>
void addHostile(std::vector<std::unique_ptr<Hostile>>& hostiles, int port, int epoll)
{
    // Addresses apart from the ordinary clients', one to each hostile.
    hostiles.push_back(
        std::make_unique<Behaviour>(port, epoll, clientAddress(60000 + int(hostiles.size()))));
}

const Kind kinds[] = {
    { "nobody", [](auto&, int, int) {} },
    { "three clients that probe in a loop (50 ms pause)",
        [](auto& h, int port, int epoll) {
            for (int i = 0; i < 3; ++i)
                addHostile<Prober>(h, port, epoll);
        } },
    { "one client that sends a new join every 20 ms", addHostile<RepeatJoiner> },
    { "one flooder (16 KiB writes as fast as it can, reading all)", addHostile<Flooder> },
    { "a 1 MiB line every 3 s", addHostile<LongLiner> },
    { "a join with a 64 KiB nickname, then close, every 2 s", addHostile<LongNickJoiner> },
    { "a joined client that never reads", addHostile<NonReader> },
    { "a client that joins and resets every second", addHostile<JoinResetter> },
};

// With `names` (address to kind, filled by addHostiles), the server traces
// its lines and the row is followed by where the slow ones spent their time.
void fairRow(const std::string& binary, const FairOptions& options, const char* name,
    const std::function<void(std::vector<std::unique_ptr<Hostile>>&, int, int)>& addHostiles,
    double seconds, const std::map<std::string, std::string>* names = nullptr)
{
    const std::string tracePath = "/tmp/quenvar-line-trace-" + std::to_string(::getpid());
    if (names)
        ::setenv("QUENVAR_BENCH_TRACE", tracePath.c_str(), 1);
    ServerProcess server(binary);
    ::unsetenv("QUENVAR_BENCH_TRACE");
    const int epoll = ::epoll_create1(EPOLL_CLOEXEC);
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

    std::vector<std::unique_ptr<Hostile>> hostiles;
    addHostiles(hostiles, server.port(), epoll);
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
    const double cpu = (server.cpuSeconds() - cpuBefore) / seconds * 100;
    int sent = 0, lost = 0, cutOff = 0;
    for (const auto& client : ordinary) {
        sent += client->sent();
        lost += client->outstanding();
        cutOff += client->gone();
    }
    const std::vector<double> ms = millisecondsOf(roundTrips);
    const long rss = server.rssKiB();
    char growth[32] = "";
    if (rssAfterMinute > 0)
        std::snprintf(growth, sizeof growth, "%.1f", double(rss - rssAfterMinute) / 1024);
    std::printf("| %s | %.1f | %.1f | %.1f | %.1f | %d | %d | %d | %.0f | %.1f | %s |\n", name,
        percentile(ms, 0.5), percentile(ms, 0.99), percentile(ms, 0.999), maximum(ms), sent, lost,
        cutOff, cpu, rss / 1024.0, growth);
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
    std::printf(
        "| beside the ordinary clients | p50 ms | p99 ms | p99.9 ms | max ms | lines | lost "
        "| cut off | server CPU %% | server RSS MiB | RSS growth after the first minute MiB "
        "|\n|---|---|---|---|---|---|---|---|---|---|---|\n");
    for (const Kind& kind : kinds) {
        if (!options.mixOnly)
            fairRow(server, options, kind.name, kind.add, options.seconds);
    }
    std::map<std::string, std::string> names;
    fairRow(
        server, options, "all of them at once",
        [&](auto& hostiles, int port, int epoll) {
            for (const Kind& kind : kinds) {
                const size_t first = hostiles.size();
                kind.add(hostiles, port, epoll);
                for (size_t h = first; h < hostiles.size(); ++h)
                    names[addressText(clientAddress(60000 + int(h)))] = kind.name;
            }
        },
        options.allSeconds, &names);
}

} // namespace bench
