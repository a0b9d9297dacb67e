#pragma once

#include "address_ledger.h"
#include "slot_array.h"

#include <QByteArray>

#include <map>

#include <netinet/in.h>

// One open client connection of the slot array.
struct Connection {
    Connection(int fd, const sockaddr_in6& remote, AddressLedger::Account& account)
        : fd(fd)
        , remote(remote)
        , account(&account)
    {
    }

    int fd;
    int state = SlotArray::sckConnected;
    sockaddr_in6 remote;
    QByteArray input;
    QByteArray output;
    qsizetype outputSent = 0;
    qsizetype unsent() const { return output.size() - outputSent; }
    // Connected, or closing after a failed write and read to its end.
    bool isOpen() const { return fd >= 0; }
    // Waiting for the socket to take more, or for the turn to end.
    bool watchingOutput = false;
    bool writeDue = false;
    // The epoll events registered for it; 0 while it is not in epoll.
    quint32 watched = 0;
    // Not read for now: its address is over its budget, or is busy while
    // another handler runs.
    bool throttled = false;
    // Held for as long as the connection has its entry.
    AddressLedger::Account* account;
};

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
    Connection* find(int index);
    const Connection* find(int index) const;
    Connection& open(int index, Connection connection);
    void erase(int index);

    // The lowest slot above `after` whose connection is connected, or 0.
    int nextConnected(int after) const;
    int openCount() const { return int(m_open.size()); }

    auto begin() { return m_open.begin(); }
    auto end() { return m_open.end(); }

private:
    int m_lastCreated = 0;
    std::map<int, Connection> m_open;
};
