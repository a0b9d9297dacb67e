#pragma once

#include "slow_lines.h"

#include "client.h"
#include "clock.h"
#include "sockets.h"

#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace bench {

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
bool pumpUntil(int epoll, double seconds, const std::function<bool()>& done);

} // namespace bench
