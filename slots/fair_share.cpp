#include "fair_share.h"

#include <algorithm>
#include <utility>

FairShare::FairShare(AddressLedger& ledger, SlotTable& table, const HandlerGate& gate,
    GreetingQueue& greetings, Clock clock)
    : m_ledger(ledger)
    , m_table(table)
    , m_gate(gate)
    , m_greetings(greetings)
    , m_clock(std::move(clock))
{
    m_timer.setInterval(AddressLedger::resumeInterval);
    connect(&m_timer, &QTimer::timeout, this, &FairShare::tick);
}

// Inside a handler's yield, only a cheap address is read: one served before
// whose last two messages were not both costly (a costly one made the server
// send more than two messages a client: a roster to everyone, not a chat
// line), that has not spent much lately and whose own event is not being
// handled. The others wait for the loop itself.
bool FairShare::mayRead(AddressLedger::Account& account) const
{
    return mayReadAt(account, m_clock());
}

bool FairShare::mayReadAt(
    AddressLedger::Account& account, AddressLedger::Clock::time_point now) const
{
    if (!m_ledger.mayRead(account, now))
        return false;
    if (m_gate.yieldDepth() == 0)
        return true;
    const qint64 costly = 2 * qint64(m_table.openCount());
    return account.lastCost() >= 0
        && (account.lastCost() <= costly || account.costBefore() <= costly)
        && account.handling() == 0 && !m_ledger.isBusy(account, now);
}

namespace {
// One read takes at most this much from a client, so that a client that
// sends without pause cannot keep a single pass busy for ever.
constexpr qsizetype maxRead = 1024 * 1024;
} // namespace

// A departure may send the roster to everyone, so inside a yield it is held
// back for the loop, like a read that may not be done now.
std::optional<ClientConnection::Read> FairShare::read(
    int index, ClientConnection& connection, QByteArray& buffer, bool peerClosing)
{
    AddressLedger::Account& account = connection.account;
    const auto now = m_clock();
    if (!mayReadAt(account, now) || (peerClosing && m_gate.yieldDepth() > 0)) {
        holdBack(index, connection);
        return std::nullopt;
    }
    const qint64 allowance = std::min<qint64>(maxRead, AddressLedger::readAllowance(account, now));
    const ClientConnection::Read read = connection.read(allowance, buffer, peerClosing);
    AddressLedger::spendBytes(account, read.received);
    // What was read goes with a connection cut off here.
    if (read.end == ClientConnection::ReadEnd::Allowance && !m_ledger.mayRead(account, now)
        && !holdBack(index, connection))
        return std::nullopt;
    return read;
}

// Its bytes wait in the kernel, in order, and TCP slows the sender down. A
// connection that epoll cannot stop watching would keep the loop busy for as
// long as it is held back, so it is cut off instead.
bool FairShare::holdBack(int index, ClientConnection& connection)
{
    if (connection.setThrottled(true)) {
        cutOff(index);
        return false;
    }
    m_heldBack.push_back(index);
    keepTicking();
    return true;
}

bool FairShare::resumeHeldBack(int index)
{
    if (resume(index))
        return m_table.find(index) != nullptr;
    m_heldBack.push_back(index);
    keepTicking();
    return false;
}

// Whether the connection is off the list: gone, or watched for input again.
// Where epoll refuses to watch it again, it stays on the list, to be tried
// at the next tick.
bool FairShare::resume(int index)
{
    ClientConnection* c = m_table.find(index);
    if (!c || !c->isOpen())
        return true;
    if (!mayRead(c->account))
        return false;
    if (c->setThrottled(false)) {
        // Half applied, it might be watched for input it may not read yet.
        (void)c->setThrottled(true);
        return false;
    }
    return true;
}

void FairShare::resumeAllHeldBack()
{
    std::erase_if(m_heldBack, [&](int index) { return resume(index); });
}

void FairShare::cutOff(int index)
{
    ClientConnection* c = m_table.find(index);
    if (!c)
        return;
    c->release();
    m_departures.emplace_back(index, &m_ledger.hold(c->account));
    forget(index);
    if (m_departures.size() == 1)
        emit departuresDue();
}

void FairShare::forget(int index)
{
    if (ClientConnection* c = m_table.find(index)) {
        AddressLedger::Account& account = c->account;
        AddressLedger::removeOpen(account);
        m_table.erase(index);
        m_ledger.release(account, m_clock());
        keepTicking();
    }
}

// Handlers that raise them may defer more departures, which wait for the
// next call.
std::vector<std::pair<int, AddressLedger::Account*>> FairShare::takeDueDepartures()
{
    std::vector<std::pair<int, AddressLedger::Account*>> due;
    const bool inYield = m_gate.yieldDepth() > 0;
    std::erase_if(m_departures, [&](const auto& departure) {
        if (inYield || !m_ledger.mayRead(*departure.second, m_clock()))
            return false;
        due.push_back(departure);
        return true;
    });
    if (!m_departures.empty())
        keepTicking();
    return due;
}

bool FairShare::waitsForTheLoop() const
{
    const auto now = m_clock();
    return std::ranges::any_of(m_heldBack, [&](int index) {
        const ClientConnection* c = m_table.find(index);
        return c && c->isOpen() && m_ledger.mayRead(c->account, now);
    }) || std::ranges::any_of(m_departures, [&](const auto& departure) {
        return m_ledger.mayRead(*departure.second, now);
    });
}

void FairShare::keepTicking()
{
    if (!m_timer.isActive())
        m_timer.start();
}

void FairShare::tick()
{
    resumeAllHeldBack();
    if (m_gate.mayRaiseNow(m_table.openCount()))
        m_greetings.admitWaiting();
    if (!m_departures.empty())
        emit departuresDue();
    const int unsettled = m_ledger.forgetSettled(m_clock());
    if (m_heldBack.empty() && m_greetings.waitingCount() == 0 && m_departures.empty()
        && unsettled == 0)
        m_timer.stop();
}
