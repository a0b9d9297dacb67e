#pragma once

#include "access_rules.h"
#include "address_ledger.h"

#include <deque>
#include <functional>
#include <optional>

#include <netinet/in.h>

// A connection taken in, not yet given a slot. Its account is held for it.
struct Arrival {
    int fd;
    sockaddr_in6 remote;
    AddressLedger::Account* account;
};

// The connections taken in and not yet greeted, in the order they came. Each
// is offered to the engine in its turn, once its address may be served; one
// the engine does not take into a slot while it is offered is closed.
class GreetingQueue {
public:
    // Called for every connection that may be greeted now, which it may
    // take() into a slot before it returns.
    using Admit = std::function<void(const Arrival&)>;

    GreetingQueue(AddressLedger& ledger, Admit admit);
    ~GreetingQueue();
    GreetingQueue(const GreetingQueue&) = delete;
    GreetingQueue& operator=(const GreetingQueue&) = delete;

    void setAccessRules(AccessRules& rules) { m_rules = &rules; }
    // While closed, nothing is greeted: what waits, and what comes, is closed.
    void open() { m_open = true; }
    void close();

    // Greets `arrival` now, where its address has nothing waiting and may be
    // served; else it waits behind the others.
    void greetOrWait(const Arrival& arrival, bool greetNow);
    // Greets the waiting connections whose address may be served again.
    void admitWaiting();
    int waitingCount() const { return int(m_waiting.size()); }
    // The connection offered now under `requestID`, taken into a slot.
    std::optional<Arrival> take(qint32 requestID);
    // Closes a connection that is not taken into a slot.
    void discard(const Arrival& arrival);

private:
    void offer(const Arrival& arrival);
    void discardWaiting();

    AddressLedger& m_ledger;
    Admit m_admit;
    AccessRules* m_rules = nullptr;
    bool m_open = false;
    std::deque<Arrival> m_waiting;
    bool m_admitting = false;
    std::optional<Arrival> m_offered;
};
