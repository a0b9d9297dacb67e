#pragma once

#include "address_ledger.h"
#include "listener.h"
#include "slot_array.h"
#include "slot_array_probe.h"
#include "slot_table.h"

#include <QByteArray>
#include <QTimer>

#include <chrono>
#include <functional>
#include <optional>
#include <vector>

class QSocketNotifier;

// The slot array over non-blocking POSIX sockets and one epoll instance.
//
// Qt's event loop watches only the epoll descriptor, so one yield costs the
// same however many clients are connected. Readiness is level-triggered:
// every pass handles what is ready now, and a pass run from inside a handler
// simply sees what the outer pass has not handled yet.
//
// Output is coalesced: what a client is sent during one turn of the loop
// goes out in one write when the turn ends, or as soon as it fills a write,
// in order and byte for byte. A busy room then costs a system call per
// client per turn, not one per message; and after a turn that wrote for a
// millisecond or more while more arrived, the loop pauses as long (at most
// maxTurnPause), so that the next turn's writes carry several lines.
//
// Messages are handled in the order they are read, one at a time: a yield
// runs the window's events, but reads no socket, so nothing overtakes the
// handler suspended there. Only a costly handler, one that sends more than
// two messages a client (a roster to everyone), lets cheap messages run
// inside its yields, one handler deep, so that they need not wait for it.
//
// No client can take more than its share. Each remote address pays, from
// budgets of its own, for the bytes read from it and for every message sent
// while one of its events is handled; over budget, it is read later and its
// new connections wait (the rest waits in the kernel, and TCP slows the sender
// down). An address that has spent much lately is read only by the loop
// itself, never inside another's yield. An address may hold only so many
// connections, a client's unsent output is capped, and so is all unsent
// output together: memory follows these caps, never the traffic.
//
// A connection that fails while it is written to is not written to again,
// but read to its end: what its peer sent before it went is handled, in
// order, before its departure.
class SocketSlotArray final : public SlotArray {
    Q_OBJECT

public:
    // Unsent output a client may leave queued before it is cut off.
    static constexpr qsizetype defaultOutputCap = 1024 * 1024;
    // Unsent output of all clients together; past it, the clients holding
    // most are cut off until it fits, which never touches one that reads.
    static constexpr qsizetype defaultOutputCeiling = 128 * 1024 * 1024;
    // Connections one address may have open or waiting to be greeted: enough
    // for a machine running a few clients and probing for servers.
    static constexpr int defaultConnectionsPerAddress = 16;
    // How fast an address's input is taken in, in bytes.
    static constexpr Budget defaultInputBudget { 64 * 1024, 1024 * 1024 };
    // How many messages the server sends for an address: about a tenth of
    // what it can send in a second, and enough at once for one join with
    // 1,000 clients connected and 1,000 users in the roster.
    static constexpr Budget defaultSendBudget { 20'000, 1'500'000 };
    // Yields nest no deeper than this; past it a yield returns at once.
    static constexpr int maxYieldDepth = 64;
    // A costly handler and the cheap one running inside its yield.
    static constexpr int maxHandlersRunning = 2;
    // A client's coalesced output goes out once it holds this much.
    static constexpr qsizetype coalescedWrite = 8 * 1024;
    // The longest pause after a turn that took long to write.
    static constexpr std::chrono::milliseconds maxTurnPause { 5 };
    // How long a ready socket and a waiting window event may wait while a
    // handler sends and yields.
    static constexpr std::chrono::microseconds defaultSocketCheckInterval { 50 };
    static constexpr std::chrono::microseconds defaultWindowPassInterval { 1000 };

    explicit SocketSlotArray(QObject* parent = nullptr);
    ~SocketSlotArray() override;

    // Slot 0 serves the socket handed over when it is bound to its port.
    void adoptListener(const HandedListener& handed) { m_listener.adopt(handed); }

    Failure Bind(int index, quint16 port) override;
    Failure Listen(int index) override;
    void Close(int index) override;
    Failure Load(int index) override;
    Failure Accept(int index, qint32 requestID) override;
    Failure SendData(int index, const QByteArray& bytes) override;
    QByteArray GetData(int index) override;
    int State(int index) const override;
    QString RemoteHostIP(int index) const override;
    QString LocalIP(int index) const override;
    void DoEvents() override;
    int nextConnected(int after) const override;
    void runOutsideHandlers(std::function<void()> command) override;

    void setOutputCap(qsizetype bytes) { m_outputCap = bytes; }
    void setOutputCeiling(qsizetype bytes) { m_outputCeiling = bytes; }
    void setConnectionsPerAddress(int connections)
    {
        m_listener.setConnectionsPerAddress(connections);
    }
    // Zero makes every yield look for sockets, or run the window's events.
    void setYieldIntervals(std::chrono::microseconds sockets, std::chrono::microseconds windowPass)
    {
        m_socketCheckInterval = sockets;
        m_windowPassInterval = windowPass;
        m_yieldsPerClockRead = sockets.count() == 0 || windowPass.count() == 0 ? 1 : 8;
    }
    // Apply to the addresses seen from now on.
    void setBudgets(Budget input, Budget sends) { m_ledger.setBudgets(input, sends); }
    void setProbe(SlotArrayProbe* probe) { m_probe = probe; }

    int lastSlot() const { return m_table.lastCreated(); }
    int openConnections() const { return m_table.openCount(); }
    // Addresses with an account: those connected, and those that were
    // lately and have not yet earned their budgets back.
    int knownAddresses() const { return m_ledger.size(); }
    // Readiness events handled so far: a measure of how busy the loop is.
    qint64 readyEvents() const { return m_readyEvents; }
    // Connections not read for now, and connections not yet greeted, because
    // their address is over its budget or busy.
    int heldBackConnections() const { return int(m_throttled.size()); }
    int waitingConnections() const { return m_listener.waitingCount(); }
    // Output handed over and not yet taken by the kernel, of all clients.
    qsizetype queuedOutput() const { return m_queuedOutput; }

private:
    void runReadySockets();
    void admit(const Arrival& arrival);
    template<typename Raise>
    void raiseFor(SlotArrayProbe::Work work, AddressLedger::Account& account, Raise raise);
    bool mayRaiseNow() const;
    bool mayReadNow(AddressLedger::Account& account, AddressLedger::Clock::time_point now) const;
    void receive(int index, bool peerClosing);
    void queue(Connection& connection, const char* bytes, qsizetype size);
    Failure writeOutput(int index, Connection& connection);
    void writeWhenTurnEnds(int index, Connection& connection);
    void endTurn();
    void pauseAfterWrites(std::chrono::steady_clock::duration writing);
    void discardOutput(Connection& connection);
    void stopWriting(int index, Connection& connection);
    void cutLargestQueues();
    void runWaitingCommands();
    void updateWatch(int index, Connection& connection);
    void throttle(int index, Connection& connection);
    void tick();
    void keepTicking();
    void resumeThrottled();
    void readHeldBack();
    void release(Connection& connection);
    void forget(int index);
    void dropConnection(int index);
    void raiseDropped();

    int m_epoll = -1;
    AddressLedger m_ledger { defaultInputBudget, defaultSendBudget };
    Listener m_listener;
    SlotTable m_table;
    std::optional<Arrival> m_pending;
    // The address whose event is being handled, which pays for what is sent.
    AddressLedger::Account* m_cause = nullptr;
    // The outermost handler's address, and what it had sent when it started.
    AddressLedger::Account* m_outerCause = nullptr;
    qint64 m_outerSentBefore = 0;
    int m_yieldDepth = 0;
    int m_handlersRunning = 0;
    std::chrono::microseconds m_socketCheckInterval = defaultSocketCheckInterval;
    std::chrono::microseconds m_windowPassInterval = defaultWindowPassInterval;
    // Reading the clock costs more than the rest of a yield, so only every
    // few yields do; the intervals are far longer than a few messages take.
    int m_yieldsPerClockRead = 8;
    int m_yieldsUnclocked = 0;
    std::chrono::steady_clock::time_point m_socketsChecked;
    std::chrono::steady_clock::time_point m_windowPassRun;
    qint64 m_readyEvents = 0;
    qsizetype m_outputCap = defaultOutputCap;
    qsizetype m_outputCeiling = defaultOutputCeiling;
    qsizetype m_queuedOutput = 0;
    // Clients sent something this turn, to be written when it ends.
    std::vector<int> m_writesDue;
    bool m_endOfTurnPosted = false;
    // The loop's own pass over the sockets is running, and ends the turn.
    bool m_inLoopPass = false;
    // Commands that wait for no handler to be suspended in a yield.
    std::vector<std::function<void()>> m_waitingCommands;
    bool m_waitingCommandsPosted = false;
    // Every read lands here first, so that a slot's input holds only what
    // arrived: a slot never keeps a read-sized buffer it did not fill.
    QByteArray m_readBuffer;
    // Connections whose close event is yet to be raised, with their accounts
    // held; raised as their addresses would be read.
    std::vector<std::pair<int, AddressLedger::Account*>> m_dropped;
    // Slots not read for now, and the one timer that looks at them, at the
    // connections waiting to be greeted and at the accounts to forget.
    std::vector<int> m_throttled;
    QTimer m_ledgerTimer;
    QTimer m_turnPause;
    QSocketNotifier* m_notifier = nullptr;
    SlotArrayProbe* m_probe = nullptr;
};
