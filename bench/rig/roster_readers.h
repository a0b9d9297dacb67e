#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// What one client of a reconnect storm makes of the bytes it receives: when
// to join, and whether it holds the full roster, every one of the storm's
// nicknames ("c" and five digits, the client's number).
namespace bench {

std::string stormNickname(int client);

// The nicknames seen in the roster a client holds now. A new roster starts
// empty in constant time: each seen name is stamped with the roster's
// number. Memory follows the storm's clients.
class RosterWatch {
public:
    explicit RosterWatch(int clients);
    void restart();
    // The name at `name`, if it is one of the storm's.
    void see(std::string_view name);
    bool full() const { return m_seen == int(m_stamps.size()); }

private:
    std::vector<uint32_t> m_stamps;
    uint32_t m_roster = 1;
    int m_seen = 0;
};

class RosterReader {
public:
    virtual ~RosterReader() = default;
    // What the client sends once connected.
    virtual std::string connected() = 0;
    // Takes bytes as they arrive, however they are cut; returns what the
    // client sends in answer.
    virtual std::string read(std::string_view bytes) = 0;
    bool holdsFullRoster() const { return m_roster.full(); }

protected:
    explicit RosterReader(int clients)
        : m_roster(clients)
    {
    }
    RosterWatch m_roster;
};

// Ours: joins when greeted ("NICK"); a roster starts at each "NEWLIST" and
// holds the names of the "USER:" rows after it ("NEWUSER:" is an event, not
// a row). Messages may come run together, so the markers are found in the
// stream, with only a marker's length kept between reads.
std::unique_ptr<RosterReader> ourRosterReader(int client, int clients);
// An IRC server: registers on connecting and joins the channel once
// welcomed (001). A client's roster is what an IRC client keeps: the names
// of its NAMES reply (353) and of every JOIN it sees to the channel.
std::unique_ptr<RosterReader> ircRosterReader(int client, int clients);

} // namespace bench
