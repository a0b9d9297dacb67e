#pragma once

#include "client_connection.h"

#include <map>
#include <utility>

// The client slots by number. Numbers are handed out in ascending order and
// never reused; only open connections have an entry, so the table's size
// follows the clients connected now, not every client the server has had.
class SlotTable {
public:
    // The highest slot number created so far.
    int lastCreated() const { return m_lastCreated; }
    // Creates the slot numbered `index`, which must be above lastCreated().
    bool create(int index);

    // Entries are never moved while they exist: a handler suspended further
    // up the stack may still hold one.
    ClientConnection* find(int index);
    const ClientConnection* find(int index) const;
    template<typename... Args>
    ClientConnection& open(int index, Args&&... args)
    {
        return m_open.try_emplace(index, std::forward<Args>(args)...).first->second;
    }
    void erase(int index);

    // The lowest slot above `after` whose connection is connected, or 0.
    int nextConnected(int after) const;
    int openCount() const { return int(m_open.size()); }

    auto begin() const { return m_open.begin(); }
    auto end() const { return m_open.end(); }

private:
    int m_lastCreated = 0;
    std::map<int, ClientConnection> m_open;
};
