#pragma once

#include "slot_table.h"

#include <QObject>
#include <QTimer>

#include <chrono>
#include <vector>

class QSocketNotifier;

// Clients' output, coalesced: what a client is sent during one turn of the
// loop goes out in one write when the turn ends, or as soon as it fills a
// write, in order and byte for byte. A busy room then costs a system call
// per client per turn, not one per message. A turn is the loop's own pass
// over the ready sockets; what the window's events and the timers send is
// written by one posted call.
//
// It also keeps output within its caps: a client's unsent output, and all
// clients' together.
class TurnWriter : public QObject {
    Q_OBJECT

public:
    // A client's coalesced output goes out once it holds this much.
    static constexpr qsizetype coalescedWrite = 8 * 1024;
    // The longest pause after a turn that took long to write.
    static constexpr std::chrono::milliseconds maxTurnPause { 5 };
    // Unsent output a client may leave queued before it is cut off.
    static constexpr qsizetype defaultOutputCap = 1024 * 1024;
    // Unsent output of all clients together; past it, the clients holding
    // most are cut off until it fits, which never touches one that reads.
    static constexpr qsizetype defaultOutputCeiling = 128 * 1024 * 1024;

    // Pauses reading by disabling `reading`, the loop's notifier.
    TurnWriter(SlotTable& table, EpollWatches& watches, QSocketNotifier& reading);

    // Queues `bytes` for `index`'s connection, to be written when the turn
    // ends, or now once they fill a write; the write's failure leaves the
    // connection closing.
    Failure send(int index, ClientConnection& connection, QByteArrayView bytes);
    // The clients to cut off: `index`, where its connection is over its
    // cap; then, most unsent output first, those that take all output over
    // the ceiling.
    std::vector<int> overCaps(const ClientConnection& connection, int index) const
    {
        if (connection.unsent() <= m_outputCap && m_queuedOutput <= m_outputCeiling)
            return {};
        return cutsOverCaps(connection, index);
    }
    // Runs the loop's pass over the sockets as a turn, and ends it.
    template<typename Pass>
    void runTurn(Pass pass)
    {
        m_inLoopPass = true;
        pass();
        m_inLoopPass = false;
        const auto writing = std::chrono::steady_clock::now();
        endTurn();
        pauseAfterWrites(std::chrono::steady_clock::now() - writing);
    }
    // A yield's window pass may end a turn early, which only writes sooner.
    void endTurn();

    void setOutputCap(qsizetype bytes) { m_outputCap = bytes; }
    void setOutputCeiling(qsizetype bytes) { m_outputCeiling = bytes; }
    // Output handed over and not yet taken by the kernel, of all clients.
    qsizetype queuedOutput() const { return m_queuedOutput; }
    // What every connection keeps in step with its own unsent output.
    qsizetype& unsentTotal() { return m_queuedOutput; }

private:
    std::vector<int> cutsOverCaps(const ClientConnection& connection, int index) const;
    void writeWhenTurnEnds(int index, ClientConnection& connection);
    void pauseAfterWrites(std::chrono::steady_clock::duration writing);

    SlotTable& m_table;
    EpollWatches& m_watches;
    QSocketNotifier& m_reading;
    qsizetype m_outputCap = defaultOutputCap;
    qsizetype m_outputCeiling = defaultOutputCeiling;
    qsizetype m_queuedOutput = 0;
    std::vector<int> m_writesDue;
    bool m_endOfTurnPosted = false;
    bool m_inLoopPass = false;
    QTimer m_turnPause;
};
