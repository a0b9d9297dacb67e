#include "greeting_queue.h"

#include "failure.h"

#include <QScopedValueRollback>

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

namespace {

Network::Address addressOf(const sockaddr_in6& remote)
{
    Network::Address address;
    std::memcpy(address.data(), &remote.sin6_addr, address.size());
    return address;
}

} // namespace

GreetingQueue::GreetingQueue(AddressLedger& ledger, Admit admit)
    : m_ledger(ledger)
    , m_admit(std::move(admit))
{
}

GreetingQueue::~GreetingQueue()
{
    if (m_offered)
        closeDescriptor(m_offered->fd);
    close();
}

void GreetingQueue::close()
{
    m_open = false;
    discardWaiting();
}

void GreetingQueue::discardWaiting()
{
    for (const Arrival& arrival : std::exchange(m_waiting, {})) {
        AddressLedger::removeWaiting(*arrival.account);
        discard(arrival);
    }
}

void GreetingQueue::discard(const Arrival& arrival)
{
    closeDescriptor(arrival.fd);
    m_ledger.release(*arrival.account, AddressLedger::Clock::now());
}

void GreetingQueue::greetOrWait(const Arrival& arrival, bool greetNow)
{
    AddressLedger::Account& account = *arrival.account;
    if (!m_open) {
        discard(arrival);
    } else if (greetNow && account.waiting() == 0
        && m_ledger.mayRead(account, AddressLedger::Clock::now())) {
        offer(arrival);
    } else {
        AddressLedger::addWaiting(account);
        m_waiting.push_back(arrival);
    }
}

// A request is valid only while its event is being handled: one not taken
// into a slot by then is closed.
void GreetingQueue::offer(const Arrival& arrival)
{
    if (m_offered)
        discard(*std::exchange(m_offered, std::nullopt));
    m_offered = arrival;
    m_admit(arrival);
    if (m_offered && m_offered->fd == arrival.fd)
        discard(*std::exchange(m_offered, std::nullopt));
}

std::optional<Arrival> GreetingQueue::take(qint32 requestID)
{
    if (!m_offered || m_offered->fd != requestID)
        return std::nullopt;
    return std::exchange(m_offered, std::nullopt);
}

void GreetingQueue::admitWaiting()
{
    // A greeting yields; a pass run meanwhile would greet out of order.
    if (m_admitting)
        return;
    const QScopedValueRollback admitting(m_admitting, true);
    const auto now = AddressLedger::Clock::now();
    const std::deque<Arrival> queue = std::exchange(m_waiting, {});
    std::deque<Arrival> kept;
    std::vector<const AddressLedger::Account*> heldBack;
    for (const Arrival& arrival : queue) {
        AddressLedger::Account& account = *arrival.account;
        // A greeting yields, and a stop meanwhile closes the rest.
        if (!m_open) {
            kept.push_back(arrival);
            continue;
        }
        if (std::find(heldBack.begin(), heldBack.end(), &account) == heldBack.end()
            && m_ledger.mayRead(account, now)) {
            AddressLedger::removeWaiting(account);
            // A ban made while it waited holds for it too.
            if (!m_rules || m_rules->permits(addressOf(arrival.remote)))
                offer(arrival);
            else
                discard(arrival);
        } else {
            heldBack.push_back(&account);
            kept.push_back(arrival);
        }
    }
    // Those that arrived during the pass come after those held back.
    kept.insert(kept.end(), m_waiting.begin(), m_waiting.end());
    m_waiting = std::move(kept);
    if (!m_open)
        discardWaiting();
}
