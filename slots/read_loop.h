#pragma once

#include "address_ledger.h"
#include "epoll_watches.h"
#include "fair_share.h"
#include "greeting_queue.h"
#include "handler_gate.h"
#include "listener.h"
#include "slot_array.h"
#include "slot_array_probe.h"
#include "slot_table.h"
#include "turn_writer.h"

#include <QByteArray>
#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <chrono>

// The loop over the sockets with input: it takes a turn whenever epoll has
// something ready, reads what each address may send, and raises the events,
// one at a time, as the slot array's signals, departures of connections cut
// off among them. It owns the reading and the turn: reading stops while all
// output is over the ceiling, and pauses after a turn whose writes took
// long; a turn that took long with input waiting leaves output coalesced.
// The parts it drives answer it and never call back into it.
class ReadLoop final : public QObject {
    Q_OBJECT

public:
    // A turn this long, with more input waiting after it, means the loop
    // has fallen behind: output is then coalesced per turn.
    static constexpr std::chrono::milliseconds behindTurn { 1 };
    // The longest pause after a turn that took long to write.
    static constexpr std::chrono::milliseconds maxTurnPause { 5 };

    ReadLoop(SlotArray& events, EpollWatches& watches, SlotTable& table, AddressLedger& ledger,
        HandlerGate& gate, Listener& listener, GreetingQueue& greetings, FairShare& fairShare,
        TurnWriter& output);

    // A turn, or inside a yield a pass that raises only what the gate lets.
    void runReadySockets();
    // From a yield in the loop's turn: a turn that has taken long with input
    // waiting falls behind at once, so the rest of it is coalesced.
    void checkBehind();
    // Raises the departures of connections cut off whose time has come.
    void raiseDueDepartures();
    // Raises an event of a connection from `account`'s address, holding the
    // account until it has been handled.
    template<typename Raise>
    void raiseFor(SlotArrayProbe::Work work, AddressLedger::Account& account, Raise raise)
    {
        m_ledger.hold(account);
        ++m_raised;
        if (m_probe)
            m_probe->started(work, &account.address, m_gate.yieldDepth());
        {
            const HandlerGate::Handling handling(
                m_gate, &account, work == SlotArrayProbe::Work::DataArrival);
            raise();
        }
        if (m_probe)
            m_probe->finished(work, m_gate.yieldDepth());
        m_ledger.release(account, AddressLedger::Clock::now());
    }
    void setProbe(SlotArrayProbe* probe) { m_probe = probe; }

private:
    // Input waits to be handled: sockets are ready, or connections are held
    // back.
    bool inputWaits() const { return m_watches.hasReady() || m_fairShare.heldBackCount() > 0; }
    bool readingPaused() const { return m_output.overCeiling() || m_turnPause.isActive(); }
    void updateReading();
    void pauseAfterWrites(std::chrono::steady_clock::duration writing);
    void readHeldBack();
    void passReadySockets();
    void receive(int index, bool peerClosing);
    void postTurnIfWaiting();
    void runPostedTurn();

    SlotArray& m_events;
    EpollWatches& m_watches;
    SlotTable& m_table;
    AddressLedger& m_ledger;
    HandlerGate& m_gate;
    Listener& m_listener;
    GreetingQueue& m_greetings;
    FairShare& m_fairShare;
    TurnWriter& m_output;
    QSocketNotifier m_reading { m_watches.descriptor(), QSocketNotifier::Read };
    QTimer m_turnPause;
    // Every read lands here first, so that a slot's input holds only what
    // arrived: a slot never keeps a read-sized buffer it did not fill.
    QByteArray m_readBuffer;
    SlotArrayProbe* m_probe = nullptr;
    // Events raised so far.
    qint64 m_raised = 0;
    bool m_turnPosted = false;
};
