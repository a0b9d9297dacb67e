#pragma once

#include "clock.h"
#include "sockets.h"

#include <algorithm>
#include <string_view>
#include <vector>

#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace bench {

// Many clients on one epoll descriptor. Each counts the bytes it received
// and has a target; `behind` is how many clients have not reached theirs.
class ClientPool {
public:
    // What a client's progress is counted in: bytes, or lines (for a
    // line-based protocol whose lines vary in length).
    enum class Unit { Bytes, Lines };

    explicit ClientPool(int port, Unit unit = Unit::Bytes)
        : m_port(port)
        , m_unit(unit)
        , m_epoll(::epoll_create1(EPOLL_CLOEXEC))
    {
    }
    ~ClientPool()
    {
        for (const int fd : m_fds)
            ::close(fd);
        ::close(m_epoll);
    }

    int size() const { return int(m_fds.size()); }
    int descriptor(int i) const { return m_fds[size_t(i)]; }
    long long received(int i) const { return m_received[size_t(i)]; }
    // Reads what has arrived, without waiting.
    void drain() { pump(0); }

    // Connects a client, from an address of its own, and waits for its greeting.
    bool connect(double limitSeconds)
    {
        const int fd = connectTo(m_port, clientAddress(size()));
        if (fd < 0)
            return false;
        adopt(fd);
        addTarget(size() - 1, 4); // "NICK"
        return waitForTargets(limitSeconds);
    }
    // Takes over a connected client, with nothing expected of it yet.
    void adopt(int fd)
    {
        epoll_event event {};
        event.events = EPOLLIN;
        event.data.u32 = uint32_t(m_fds.size());
        ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &event);
        m_fds.push_back(fd);
        m_received.push_back(0);
        m_target.push_back(0);
    }
    // Reads until nothing has arrived for `quietSeconds`.
    void drainUntilQuiet(double quietSeconds, double limitSeconds)
    {
        const auto start = Clock::now();
        auto lastArrival = Clock::now();
        while (secondsSince(lastArrival) < quietSeconds && secondsSince(start) < limitSeconds) {
            if (pump(10) > 0)
                lastArrival = Clock::now();
        }
    }
    // Counts what has arrived so far as expected.
    void expectNothingMore()
    {
        m_target = m_received;
        m_behind = 0;
    }

    void send(int i, std::string_view bytes)
    {
        const auto start = Clock::now();
        while (!bytes.empty() && secondsSince(start) < 10) {
            const ssize_t n = ::send(m_fds[size_t(i)], bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (n > 0)
                bytes.remove_prefix(size_t(n));
            else
                pump(1);
        }
    }

    void addTarget(int i, long long bytes)
    {
        const bool wasMet = m_received[size_t(i)] >= m_target[size_t(i)];
        m_target[size_t(i)] += bytes;
        if (wasMet && m_received[size_t(i)] < m_target[size_t(i)])
            ++m_behind;
    }

    // Polls without sleeping: on loopback the sender pays for waking a
    // sleeping receiver, work that a real network leaves to the client's
    // machine, and that would be counted as the server's.
    bool waitForTargets(double limitSeconds)
    {
        const auto start = Clock::now();
        while (m_behind > 0) {
            if (secondsSince(start) > limitSeconds)
                return false;
            pump(0);
        }
        return true;
    }

private:
    // Returns how many clients had something to read.
    int pump(int timeoutMs)
    {
        epoll_event events[256];
        const int ready = ::epoll_wait(m_epoll, events, 256, timeoutMs);
        for (int e = 0; e < ready; ++e) {
            const size_t i = events[e].data.u32;
            for (int reads = 0; reads < 64; ++reads) {
                const ssize_t n = ::recv(m_fds[i], m_scratch, sizeof m_scratch, 0);
                if (n <= 0)
                    break;
                const bool wasBehind = m_received[i] < m_target[i];
                m_received[i]
                    += m_unit == Unit::Bytes ? n : std::count(m_scratch, m_scratch + n, '\n');
                if (wasBehind && m_received[i] >= m_target[i])
                    --m_behind;
            }
        }
        return ready;
    }

    int m_port;
    Unit m_unit;
    int m_epoll;
    std::vector<int> m_fds;
    std::vector<long long> m_received;
    std::vector<long long> m_target;
    int m_behind = 0;
    char m_scratch[256 * 1024];
};

} // namespace bench
