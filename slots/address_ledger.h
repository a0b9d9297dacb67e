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

    // An address's budgets and counters. Only the ledger changes them, so
    // that they stay in step with what holds the account.
    class Account {
    public:
        Account(const Address& address, TokenBucket bytes, TokenBucket messages)
            : address(address)
            , m_bytes(bytes)
            , m_messages(messages)
        {
        }

        const Address address;
        // Its events being handled now, suspended in yields or running.
        int handling() const { return m_handling; }
        // Messages sent because of what it sent: in all, for its last message
        // (-1 while none has been handled) and for the one before.
        qint64 sent() const { return m_sent; }
        qint64 lastCost() const { return m_lastCost; }
        qint64 costBefore() const { return m_costBefore; }
        // Its connections accepted and not yet greeted, and those in slots.
        int waiting() const { return m_waiting; }
        int open() const { return m_open; }

    private:
        friend class AddressLedger;

        TokenBucket m_bytes;
        TokenBucket m_messages;
        int m_holders = 0;
        int m_handling = 0;
        qint64 m_sent = 0;
        qint64 m_lastCost = -1;
        qint64 m_costBefore = 0;
        int m_waiting = 0;
        int m_open = 0;
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
    // Bytes the address may send now, and those it did.
    static qint64 readAllowance(Account& account, Clock::time_point now)
    {
        return account.m_bytes.available(now);
    }
    static void spendBytes(Account& account, qint64 bytes) { account.m_bytes.spend(bytes); }
    // Each message sent is paid for by the address whose event is being
    // handled, if any.
    static void charge(Account* payer, qint64 messages)
    {
        if (payer) {
            payer->m_messages.spend(messages);
            payer->m_sent += messages;
        }
    }
    // One of its events is handled from now until the end; a message's end
    // records what it cost, the messages sent since `sentBefore`.
    static void beginHandling(Account& account) { ++account.m_handling; }
    static void endHandling(Account& account, qint64 sentBefore, bool isMessage);
    // A connection of the address waits to be greeted, or no longer does.
    static void addWaiting(Account& account) { ++account.m_waiting; }
    static void removeWaiting(Account& account) { --account.m_waiting; }
    // A connection of the address has a slot, or no longer has.
    static void addOpen(Account& account) { ++account.m_open; }
    static void removeOpen(Account& account) { --account.m_open; }

private:
    static qint64 share(const Budget& budget, std::chrono::milliseconds interval);
    // Nothing holds it, and its budgets have filled up again.
    static bool settled(Account& account, Clock::time_point now);
    Address keyOf(const in6_addr& address) const;

    Budget m_bytes;
    Budget m_messages;
    LocalNetworks m_local;
    std::map<Address, Account> m_accounts;
};
