#pragma once

#include "address_ledger.h"
#include "greeting_queue.h"
#include "handler_gate.h"
#include "slot_table.h"

#include <QObject>
#include <QTimer>

#include <optional>
#include <utility>
#include <vector>

// No client takes more than its share. Each remote address pays, from
// budgets of its own, for the bytes read from it and for every message sent
// while one of its events is handled; over budget, it is read later and its
// new connections wait (the rest waits in the kernel, and TCP slows the
// sender down). An address that has spent much lately, or whose last two
// messages were costly, is read only by the loop itself, never inside
// another's yield. Departures wait for the loop too, and for their address's
// budget.
//
// What waits only for the loop is served at the loop's next turn. One timer
// comes back to the rest: connections held back and greetings waiting for
// their address's budget, departures not yet raised, accounts not yet
// forgotten.
class FairShare : public QObject {
    Q_OBJECT

public:
    using Clock = std::function<AddressLedger::Clock::time_point()>;

    FairShare(AddressLedger& ledger, SlotTable& table, const HandlerGate& gate,
        GreetingQueue& greetings, Clock clock = AddressLedger::Clock::now);

    // Whether a connection of `account` may be read now.
    bool mayRead(AddressLedger::Account& account) const;
    // Reads what the connection's address may send now, through `buffer`;
    // none where it may not, and then the connection is held back (or, where
    // epoll refuses that, cut off).
    std::optional<ClientConnection::Read> read(
        int index, ClientConnection& connection, QByteArray& buffer, bool peerClosing);
    // Stops reading the connection until its address may be read again;
    // false where it was cut off instead.
    bool holdBack(int index, ClientConnection& connection);
    // For the loop itself, which reads them first, one after another: the
    // connections held back, off the list.
    std::vector<int> takeHeldBack() { return std::exchange(m_heldBack, {}); }
    // Whether a connection taken off the list is to be read now: it is then
    // watched for input again. One whose address may not be read yet goes
    // back on the list.
    bool resumeHeldBack(int index);
    int heldBackCount() const { return int(m_heldBack.size()); }

    // Closes the connection now, and raises its departure from the loop,
    // not from inside the call that found it.
    void cutOff(int index);
    // The entry goes, and with it the connection's hold on its account.
    void forget(int index);
    // The departures whose time has come, off the list, each with the
    // account held for it; the caller raises each, then releases it.
    std::vector<std::pair<int, AddressLedger::Account*>> takeDueDepartures();
    // Whether a connection held back, or a departure deferred, waits only
    // for the loop: its address may be served now.
    bool waitsForTheLoop() const;

    // Runs the timer while anything waits.
    void keepTicking();

signals:
    // Departures may be due: take them.
    void departuresDue();

private:
    bool mayReadAt(AddressLedger::Account& account, AddressLedger::Clock::time_point now) const;
    void tick();
    void resumeAllHeldBack();
    bool resume(int index);

    AddressLedger& m_ledger;
    SlotTable& m_table;
    const HandlerGate& m_gate;
    GreetingQueue& m_greetings;
    Clock m_clock;
    std::vector<int> m_heldBack;
    std::vector<std::pair<int, AddressLedger::Account*>> m_departures;
    QTimer m_timer;
};
