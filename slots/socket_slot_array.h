#pragma once

#include "address_ledger.h"
#include "epoll_watches.h"
#include "fair_share.h"
#include "handler_gate.h"
#include "listener.h"
#include "read_loop.h"
#include "slot_array.h"
#include "slot_array_probe.h"
#include "slot_table.h"
#include "socket_address.h"
#include "turn_writer.h"

#include <QByteArray>
#include <QSocketNotifier>

#include <chrono>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

// The slot array over non-blocking POSIX sockets and one epoll instance.
//
// Qt's event loop watches only the epoll descriptor, so one yield costs the
// same however many clients are connected. The loop (ReadLoop) handles in
// each pass what is ready now, and a pass run from inside a handler simply
// sees what the outer pass has not handled yet.
//
// Messages are handled in the order they are read, one at a time: a yield
// runs the window's events and writes what sockets can take, but reads no
// socket, so nothing overtakes the handler suspended there; only a costly
// handler lets cheap messages run inside its yields (HandlerGate). Output
// goes out a message a write while the loop keeps up, and coalesced per
// turn once it falls behind (TurnWriter). No client takes more than its
// share (FairShare), an address may hold only so many connections
// (Listener, GreetingQueue), and a client's unsent output is capped, as is all unsent
// output together: past that ceiling nothing is read until it has gone
// down, so memory follows these caps, never the traffic.
//
// A connection that fails while it is written to is not written to again,
// but read to its end: what its peer sent before it went is handled, in
// order, before its departure.
class SocketSlotArray final : public SlotArray {
    Q_OBJECT

public:
    // Connections one address may have open or waiting to be greeted: enough
    // for a machine running a few clients and probing for servers.
    static constexpr int defaultConnectionsPerAddress = 16;
    // How fast an address's input is taken in, in bytes.
    static constexpr Budget defaultInputBudget { 64 * 1024, 1024 * 1024 };
    // How many messages the server sends for an address: about a tenth of
    // what it can send in a second, and enough at once for one join with
    // 1,000 clients connected and 1,000 users in the roster.
    static constexpr Budget defaultSendBudget { 20'000, 1'500'000 };

    explicit SocketSlotArray(QObject* parent = nullptr);
    ~SocketSlotArray() override;

    // Slot 0 serves the socket handed over when it is bound to its port.
    void adoptListener(const HandedListener& handed) { m_listener.adopt(handed); }

    // A connection accepted elsewhere, on a packet socket whose messages stay
    // apart (a web client's): admitted, greeted and served as one accepted
    // on slot 0. Owns `fd` from now on; closes it unless listening.
    void adoptConnection(int fd, const sockaddr_in6& remote);

    Failure Bind(int index, quint16 port) override;
    Failure Listen(int index) override;
    void Close(int index) override;
    Failure Load(int index) override;
    Failure Accept(int index, qint32 requestID) override;
    Failure SendData(int index, const QByteArray& bytes) override;
    Failure SendRoster(int index, const RosterBroadcast& roster) override;
    QByteArray GetData(int index) override;
    int State(int index) const override;
    QString RemoteHostIP(int index) const override;
    QString LocalIP(int /*index*/) const override { return localIpv4(); }
    void Disconnect(int index) override { m_fairShare.cutOff(index); }
    void DoEvents() override;
    int nextConnected(int after) const override { return m_table.nextConnected(after); }
    void runInTurn(const QObject* control, std::function<void()> command) override
    {
        m_gate.runInTurn(control, std::move(command));
    }

    void setOutputCap(qsizetype bytes) { m_output.setOutputCap(bytes); }
    void setOutputCeiling(qsizetype bytes) { m_output.setOutputCeiling(bytes); }
    void setConnectionsPerAddress(int connections)
    {
        m_listener.setConnectionsPerAddress(connections);
    }
    void setYieldIntervals(std::chrono::microseconds sockets, std::chrono::microseconds windowPass)
    {
        m_gate.setYieldIntervals(sockets, windowPass);
    }
    // Apply to the addresses seen from now on.
    void setBudgets(Budget input, Budget sends) { m_ledger.setBudgets(input, sends); }
    void setProbe(SlotArrayProbe* probe)
    {
        m_probe = probe;
        m_loop.setProbe(probe);
    }
    // The clock that tells how long a turn took and a client's output waited.
    void setOutputClock(TurnWriter::Clock clock) { m_output.setClock(std::move(clock)); }
    // Who may connect; without rules, anyone may.
    void setAccessRules(AccessRules& rules)
    {
        m_listener.setAccessRules(rules);
        m_greetings.setAccessRules(rules);
    }

    int lastSlot() const { return m_table.lastCreated(); }
    int openConnections() const { return m_table.openCount(); }
    // Addresses with an account: those connected, and those that were
    // lately and have not yet earned their budgets back.
    int knownAddresses() const { return m_ledger.size(); }
    // Connections not read for now, and connections not yet greeted, because
    // their address is over its budget or busy.
    int heldBackConnections() const { return m_fairShare.heldBackCount(); }
    int waitingConnections() const { return m_greetings.waitingCount(); }
    qsizetype queuedOutput() const { return m_output.queuedOutput(); }

private:
    Failure cutOffOverCaps(const ClientConnection& connection, int index);
    // Cuts off the connections named, then looks at the ceiling again.
    void cutOff(const std::vector<int>& cuts);

    // Input and connections arriving in one set, room for output in
    // another, so that output can be written while nothing may be read.
    EpollWatches m_watches;
    EpollWatches m_outputWatches;
    QSocketNotifier m_outputNotifier { m_outputWatches.descriptor(), QSocketNotifier::Read };
    AddressLedger m_ledger { defaultInputBudget, defaultSendBudget };
    HandlerGate m_gate;
    GreetingQueue m_greetings;
    Listener m_listener { m_watches, m_ledger, m_greetings, defaultConnectionsPerAddress };
    // Declared before the table: its connections keep the writer's count of
    // unsent output as they go, so they must go first.
    TurnWriter m_output { m_table, m_outputWatches };
    SlotTable m_table;
    FairShare m_fairShare { m_ledger, m_table, m_gate, m_greetings };
    ReadLoop m_loop { *this, m_watches, m_table, m_ledger, m_gate, m_listener, m_greetings,
        m_fairShare, m_output };
    SlotArrayProbe* m_probe = nullptr;
};
