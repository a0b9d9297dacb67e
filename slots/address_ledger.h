#pragma once

#include "local_networks.h"
#include "token_bucket.h"

#include <array>
#include <chrono>
#include <map>
#include <utility>

#include <netinet/in.h>

// What each remote address may take of the server. All connections from one
// address share its account, which pays for the bytes read from them and for
// the messages the server sends because of what they sent: a chat line's
// copy to every client, the roster that a join or a departure sends to every
// client. An address over its budget is read later and its new connections
// wait to be greeted; nothing it sent is dropped or reordered.
//
// An address is a machine: an IPv4 address; an IPv6 address on the server's
// own networks, where each machine of a LAN has its own; and beyond them an
// IPv6 /64, the block one host's privacy addresses rotate within.
//
// Accounts live while something holds them (a connection, an event being
// handled) and are forgotten once nothing does and their budgets are full
// again, so the ledger follows the addresses that are live now.
class AddressLedger {
public:
    using Clock = TokenBucket::Clock;

    // How far ahead an address must be before it is read again: what its
    // budgets refill in this time.
    static constexpr std::chrono::milliseconds resumeInterval { 50 };
    // An address that has used more than its budgets refill in this time is
    // busy: it is read only when no other handler is running, so that its
    // costly messages never hold up the short ones of others.
    static constexpr std::chrono::milliseconds busyAfter { 500 };

    using Address = std::array<quint8, 16>;

    struct Account {
        Address address;
        TokenBucket bytes;
        TokenBucket messages;
        int holders = 0;
        // Its events being handled now, suspended in yields or running.
        int handling = 0;
        // Messages sent because of what it sent: in all, for its last message
        // (-1 while none has been handled) and for the one before.
        qint64 sent = 0;
        qint64 lastCost = -1;
        qint64 costBefore = 0;
        // Its connections accepted and not yet greeted, and those in slots.
        int waiting = 0;
        int open = 0;
    };

    AddressLedger(Budget bytes, Budget messages);
    // For the addresses seen from now on.
    void setBudgets(Budget bytes, Budget messages);
    void setLocalNetworks(LocalNetworks networks) { m_local = std::move(networks); }

    // The account of the machine at `address` (IPv4 addresses as mapped into
    // IPv6), opened with full budgets if it has none; the caller holds it
    // until release().
    Account& hold(const in6_addr& address, Clock::time_point now);
    Account& hold(Account& account);
    void release(Account& account, Clock::time_point now);
    // Forgets the accounts that nobody holds and whose budgets have filled up
    // since; returns how many unheld accounts are left to wait for that.
    int forgetSettled(Clock::time_point now);
    int size() const { return int(m_accounts.size()); }

    // Whether the address is within its budgets: read it, greet it.
    bool mayRead(Account& account, Clock::time_point now) const;
    bool isBusy(Account& account, Clock::time_point now) const;

private:
    static qint64 share(const Budget& budget, std::chrono::milliseconds interval);
    Address keyOf(const in6_addr& address) const;

    Budget m_bytes;
    Budget m_messages;
    LocalNetworks m_local;
    std::map<Address, Account> m_accounts;
};
