#pragma once

#include "slot_table.h"

#include <QObject>
#include <QTimer>

#include <chrono>
#include <functional>
#include <vector>

// Clients' output. The protocol has no framing: a client tells two messages
// apart only when they reach it in separate reads. So while the loop keeps
// up, each message to a client that has nothing waiting goes out in a write
// of its own, at once. Once the loop falls behind (a turn took a millisecond
// or more and more input waits), output is coalesced: what a client is sent
// during one turn goes out in one write when the turn ends, or as soon as it
// fills a write, in order and byte for byte, so that a busy room costs a
// system call per client per turn, not one per message; its clients' reads
// would join those messages anyway. A turn is the loop's own pass over the
// ready sockets; what the window's events and the timers send is written by
// one posted call.
//
// It also keeps output within its caps: a client's unsent output, and all
// clients' together. A cap cuts off who makes no progress, never a client
// that reads: past the ceiling, the loop stops reading until the clients
// that read have taken enough, and those that do not read are cut off.
class TurnWriter : public QObject {
    Q_OBJECT

public:
    using TimePoint = ClientConnection::TimePoint;
    using Clock = ClientConnection::Clock;
    using Duration = std::chrono::steady_clock::duration;

    // A client's coalesced output goes out once it holds this much.
    static constexpr qsizetype coalescedWrite = 8 * 1024;
    // Unsent output a client may leave queued; past it, a client that makes
    // no progress is cut off.
    static constexpr qsizetype defaultOutputCap = 1024 * 1024;
    // Unsent output of all clients together; past it, reading stops, and
    // those that make no progress are cut off.
    static constexpr qsizetype defaultOutputCeiling = 128 * 1024 * 1024;
    // A client makes no progress whose socket has taken none of its output
    // for stallTime, or that has yet to take what it was sent lagTime ago.
    static constexpr std::chrono::seconds stallTime { 2 };
    static constexpr std::chrono::seconds lagTime { 30 };

    // Writes connections that `outputWatches` finds ready.
    TurnWriter(SlotTable& table, EpollWatches& outputWatches);

    // Queues `bytes` for `index`'s connection and writes them now, or, while
    // coalescing, when the turn ends or once they fill a write; the write's
    // failure leaves the connection closing.
    Failure send(int index, ClientConnection& connection, QByteArrayView bytes);
    // The roster's messages, each as send() would, except that while they
    // wait, a newer roster's rows take the place of theirs.
    Failure sendRoster(int index, ClientConnection& connection, const RosterBroadcast& roster);
    // Who is to be cut off: `index`'s connection where it is over its cap
    // and makes no progress; then, past the ceiling, those that make none,
    // most unsent output first, until all output fits.
    std::vector<int> cutsOverCaps(const ClientConnection& connection, int index);
    // Past the ceiling, those that have stopped making progress since it
    // was last looked at; the caller cuts them off.
    std::vector<int> cutsOverCeiling();
    // Says when all output crosses the ceiling, after writes and cut-offs,
    // and keeps looking again while it is over.
    void watchCeiling();
    // Writes the connections whose sockets can take more now. Reads nothing,
    // so a handler's yield may run it without anyone overtaking the handler.
    void writeReady();
    // All output is over the ceiling: nothing may be read now.
    bool overCeiling() const { return m_queuedOutput > m_outputCeiling; }
    // The loop's pass over the sockets is a turn: it begins, the pass reads
    // and raises, and its end writes what the turn sent.
    void beginLoopTurn()
    {
        m_turnStart = m_clock();
        m_inLoopPass = true;
    }
    struct TurnTimes {
        Duration whole;
        Duration writing;
    };
    TurnTimes endLoopTurn();
    // How long the loop's turn under way has taken; zero outside one.
    Duration loopTurnTime() const { return m_inLoopPass ? m_clock() - m_turnStart : Duration(); }
    // A yield's window pass may end a turn early, which only writes sooner.
    void endTurn();
    // Whether output is coalesced: the loop tells when it falls behind.
    bool isBehind() const { return m_coalescing; }
    void setBehind(bool behind) { m_coalescing = behind; }

signals:
    // All output went over the ceiling, or came back under it.
    void ceilingCrossed();
    // All output is still over the ceiling: time to look for who stopped.
    void ceilingRecheckDue();

public:
    void setOutputCap(qsizetype bytes) { m_outputCap = bytes; }
    void setOutputCeiling(qsizetype bytes) { m_outputCeiling = bytes; }
    void setClock(Clock clock) { m_clock = std::move(clock); }
    // Output handed over and not yet taken by the kernel, of all clients.
    qsizetype queuedOutput() const { return m_queuedOutput; }
    // What every connection keeps in step with its own unsent output.
    qsizetype& unsentTotal() { return m_queuedOutput; }

private:
    bool makesNoProgress(const ClientConnection& connection, TimePoint now) const
    {
        return connection.stalledSince(now - stallTime) || connection.laggingSince(now - lagTime);
    }
    std::vector<int> cutsOverCeiling(qsizetype total, std::vector<int> cut, TimePoint now);
    void writeWhenTurnEnds(int index, ClientConnection& connection);
    // A message to a connection with nothing waiting goes out on its own.
    bool writesApart(const ClientConnection& connection) const
    {
        return !m_coalescing && connection.unsent() == 0;
    }
    SlotTable& m_table;
    EpollWatches& m_outputWatches;
    Clock m_clock = std::chrono::steady_clock::now;
    qsizetype m_outputCap = defaultOutputCap;
    qsizetype m_outputCeiling = defaultOutputCeiling;
    qsizetype m_queuedOutput = 0;
    std::vector<int> m_writesDue;
    bool m_endOfTurnPosted = false;
    bool m_inLoopPass = false;
    bool m_coalescing = false;
    TimePoint m_turnStart;
    bool m_wasOverCeiling = false;
    // While all output is over the ceiling: when those that make no
    // progress were last looked for, and the timer that looks again.
    TimePoint m_ceilingChecked;
    QTimer m_ceilingRecheck;
};
