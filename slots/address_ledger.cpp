#include "address_ledger.h"

#include <algorithm>
#include <cstring>

AddressLedger::AddressLedger(Budget bytes, Budget messages)
    : m_bytes(bytes)
    , m_messages(messages)
{
}

void AddressLedger::setBudgets(Budget bytes, Budget messages)
{
    m_bytes = bytes;
    m_messages = messages;
}

// Beyond the server's own networks an IPv6 host picks the low 64 bits
// itself, and may change them at will.
AddressLedger::Address AddressLedger::keyOf(const in6_addr& address) const
{
    constexpr size_t networkPrefix = 8;
    Address key {};
    const bool exact = IN6_IS_ADDR_V4MAPPED(&address) || m_local.contains(address);
    std::memcpy(key.data(), address.s6_addr, exact ? key.size() : networkPrefix);
    return key;
}

qint64 AddressLedger::share(const Budget& budget, std::chrono::milliseconds interval)
{
    return std::clamp<qint64>(budget.perSecond * interval.count() / 1000, 1, budget.burst);
}

AddressLedger::Account& AddressLedger::hold(const in6_addr& address, Clock::time_point now)
{
    const Address key = keyOf(address);
    auto entry = m_accounts.find(key);
    if (entry == m_accounts.end())
        entry = m_accounts
                    .try_emplace(key, key, TokenBucket(m_bytes, now), TokenBucket(m_messages, now))
                    .first;
    ++entry->second.m_holders;
    return entry->second;
}

AddressLedger::Account& AddressLedger::hold(Account& account)
{
    ++account.m_holders;
    return account;
}

void AddressLedger::release(Account& account, Clock::time_point now)
{
    --account.m_holders;
    if (settled(account, now)) {
        const Address key = account.address; // the account goes with its entry
        m_accounts.erase(key);
    }
}

int AddressLedger::forgetSettled(Clock::time_point now)
{
    int unsettled = 0;
    for (auto entry = m_accounts.begin(); entry != m_accounts.end();) {
        Account& account = entry->second;
        if (settled(account, now)) {
            entry = m_accounts.erase(entry);
            continue;
        }
        unsettled += account.m_holders == 0;
        ++entry;
    }
    return unsettled;
}

bool AddressLedger::settled(Account& account, Clock::time_point now)
{
    return account.m_holders == 0 && account.m_bytes.isFull(now) && account.m_messages.isFull(now);
}

bool AddressLedger::mayRead(Account& account, Clock::time_point now) const
{
    return account.m_bytes.available(now) >= share(m_bytes, resumeInterval)
        && account.m_messages.available(now) >= share(m_messages, resumeInterval);
}

bool AddressLedger::isBusy(Account& account, Clock::time_point now) const
{
    return account.m_bytes.available(now) < m_bytes.burst - share(m_bytes, busyAfter)
        || account.m_messages.available(now) < m_messages.burst - share(m_messages, busyAfter);
}

void AddressLedger::endHandling(Account& account, qint64 sentBefore, bool isMessage)
{
    --account.m_handling;
    if (isMessage) {
        account.m_costBefore = std::max<qint64>(account.m_lastCost, 0);
        account.m_lastCost = account.m_sent - sentBefore;
    }
}
