#include "hostile_clients.h"

#include "packet_drop.h"
#include "sockets.h"
#include "web_hostiles.h"

#include <deque>
#include <string>

namespace bench {

namespace {

// How long a hostile client waits for its greeting or its join.
constexpr double greetingLimit = 10;

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
    RepeatedWriter(Ports ports, int epoll, in_addr_t from, std::string chunk, double seconds)
        : Hostile(ports, epoll, from)
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
    Flooder(Ports ports, int epoll, in_addr_t from)
        : RepeatedWriter(ports, epoll, from, "flood " + std::string(16 * 1024 - 6, 'f'), 0)
    {
    }
};

// A line of a megabyte every 3 s, as far as the connection takes it.
class LongLiner final : public RepeatedWriter {
public:
    LongLiner(Ports ports, int epoll, in_addr_t from)
        : RepeatedWriter(ports, epoll, from, std::string(1024 * 1024, 'L'), 3)
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
        if (!m_peer)
            m_peer = joinAs("silent", false);
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

// Joins, then every 10 ms reads at most 16 KiB of what has come, on a
// receive buffer of 4 KiB: slow to take a long line, but keeping up.
class SmallBufferReader final : public Hostile {
public:
    using Hostile::Hostile;
    void tick() override
    {
        if (!m_peer) {
            m_peer = connectSmall(4 * 1024);
            m_peer->write("USER:slow");
        }
        if (due(0.01))
            m_peer->readAll(16 * 1024);
    }
    bool readerCutOff() const override { return m_peer && m_peer->gone(); }

private:
    std::unique_ptr<Client> m_peer;
};

// Joins, reads for two seconds, then vanishes without a FIN or RST, as a
// laptop closed does: every packet to and from its address is dropped.
// Where packets cannot be dropped, it only stops reading and sending, its
// socket left open.
class VanishingPeer final : public Hostile {
public:
    using Hostile::Hostile;
    void tick() override
    {
        if (!m_peer) {
            m_peer = joinAs("vanishing", false);
            m_started = Clock::now();
        }
        if (m_drop)
            return;
        m_peer->readAll();
        if (secondsSince(m_started) >= 2)
            m_drop = std::make_unique<DroppedPackets>(from());
    }

private:
    // Its address is let through again only once its socket has gone.
    std::unique_ptr<DroppedPackets> m_drop;
    std::unique_ptr<Client> m_peer;
    Clock::time_point m_started;
};

// 1,000 connection attempts a second from the address the server bans; the
// last 100 are kept open, so that each is taken by the server, which closes
// it unanswered.
class BannedConnector final : public Hostile {
public:
    BannedConnector(Ports ports, int epoll, in_addr_t /*from*/)
        : Hostile(ports, epoll, bannedAddress())
    {
    }
    void tick() override
    {
        if (m_start == Clock::time_point())
            m_start = Clock::now();
        for (const auto due = static_cast<long>(secondsSince(m_start) * 1000); m_made < due;
             ++m_made) {
            m_open.push_back(connect(false));
            if (m_open.size() > 100)
                m_open.pop_front();
        }
    }

private:
    Clock::time_point m_start;
    long m_made = 0;
    std::deque<std::unique_ptr<Client>> m_open;
};

template<typename Behaviour>
void addHostile(std::vector<std::unique_ptr<Hostile>>& hostiles, Ports ports, int epoll)
{
    // Addresses apart from the ordinary clients', one to each hostile.
    hostiles.push_back(std::make_unique<Behaviour>(ports, epoll, hostileAddress(hostiles.size())));
}

const HostileKind kinds[] = {
    { "nobody", [](auto&, Ports, int) {} },
    { "three clients that probe in a loop (50 ms pause)",
        [](auto& h, Ports ports, int epoll) {
            for (int i = 0; i < 3; ++i)
                addHostile<Prober>(h, ports, epoll);
        } },
    { "one client that sends a new join every 20 ms", addHostile<RepeatJoiner> },
    { "one flooder (16 KiB writes as fast as it can, reading all)", addHostile<Flooder> },
    { "a 1 MiB line every 3 s", addHostile<LongLiner> },
    { "a join with a 64 KiB nickname, then close, every 2 s", addHostile<LongNickJoiner> },
    { "a joined client that never reads", addHostile<NonReader> },
    { "a client that joins and resets every second", addHostile<JoinResetter> },
    { "32 readers on 4 KiB receive buffers beside a 1 MiB line every 3 s",
        [](auto& h, Ports ports, int epoll) {
            addHostile<LongLiner>(h, ports, epoll);
            for (int i = 0; i < 32; ++i)
                addHostile<SmallBufferReader>(h, ports, epoll);
        } },
    { "a joined client whose peer vanishes without a FIN after 2 s", addHostile<VanishingPeer> },
    { "a banned address making 1,000 connection attempts a second", addHostile<BannedConnector> },
    { "one WebSocket flooder (16 KiB messages as fast as it can, reading all)",
        addHostile<WebFlooder> },
    { "a joined WebSocket client that never reads", addHostile<WebNonReader> },
};

} // namespace

std::span<const HostileKind> hostileKinds()
{
    return kinds;
}

in_addr_t bannedAddress()
{
    return clientAddress(65000);
}

in_addr_t hostileAddress(size_t n)
{
    return clientAddress(60000 + int(n));
}

} // namespace bench
