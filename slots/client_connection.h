#pragma once

#include "address_ledger.h"
#include "epoll_watches.h"
#include "roster_broadcast.h"
#include "slot_array.h"

#include <QByteArray>
#include <QByteArrayView>

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <utility>

#include <netinet/in.h>

// One accepted client connection of the slot array: its descriptor, what it
// sent and is not yet handled, and its output not yet taken by the kernel.
// It owns the descriptor, and keeps the count of all connections' unsent
// output, `allUnsent`, in step with its own. It waits for input in one epoll
// set and for room for output in another, so that writing can go on where
// no input may be read.
//
// A TCP connection is a stream. A connection on a packet socket (a web
// client's, handed over by the web gateway) keeps messages apart: each
// packet read is one message from it, and each message to it is written as
// one packet, however far behind the loop is.
class ClientConnection {
public:
    using TimePoint = std::chrono::steady_clock::time_point;
    using Clock = std::function<TimePoint()>;
    // A peer that vanished without a word (a laptop closed, a cable pulled)
    // is probed after this much silence, this often, so many times; after
    // deadPeerAfter without an answer, or with output unacknowledged as long,
    // the connection fails and the client departs. A peer that is there
    // answers the probes, whether it sends anything or not.
    static constexpr std::chrono::seconds keepAliveIdle { 60 };
    static constexpr std::chrono::seconds keepAliveInterval { 10 };
    static constexpr int keepAliveProbes = 6;
    static constexpr std::chrono::seconds deadPeerAfter
        = keepAliveIdle + keepAliveProbes * keepAliveInterval;

    enum class ReadEnd { Allowance, Drained, PeerGone };
    struct Read {
        qsizetype received = 0;
        ReadEnd end = ReadEnd::Allowance;
    };

    ClientConnection(int fd, int index, const sockaddr_in6& remote, AddressLedger::Account& account,
        EpollWatches& inputWatches, EpollWatches& outputWatches, qsizetype& allUnsent);
    ~ClientConnection();
    ClientConnection(const ClientConnection&) = delete;
    ClientConnection& operator=(const ClientConnection&) = delete;

    // Connected, or closing after a failed write and read to its end.
    bool isOpen() const { return m_fd >= 0; }
    int state() const { return m_state; }
    // What it sent and is not yet handled.
    const QByteArray& input() const { return m_input; }
    QByteArray takeInput() { return std::exchange(m_input, {}); }
    // Not read for now: its address is over its budget, or is busy while
    // another handler runs. Watched for input again once not; a failure to
    // change the watch leaves the connection as it was asked to be.
    bool isThrottled() const { return m_throttled; }
    [[nodiscard]] Failure setThrottled(bool throttled)
    {
        m_throttled = throttled;
        return updateWatch();
    }
    // Sent something this turn, to be written when the turn ends: whether
    // that is new, and the turn's end that clears it.
    bool markWriteDue() { return !std::exchange(m_writeDue, true); }
    void clearWriteDue() { m_writeDue = false; }
    bool keepsMessagesApart() const { return m_keepsMessagesApart; }
    qsizetype unsent() const { return m_output.size() - m_outputSent + m_rowsBytes; }
    // Waiting for the socket to take more: written to only when it can.
    bool watchingOutput() const { return m_watchingOutput; }
    // The socket takes no more, and has taken none of the output since
    // `time`: the peer does not read, or has read nothing lately.
    bool stalledSince(TimePoint time) const { return m_watchingOutput && m_progress < time; }
    // The socket takes no more, and output that waited for it at `time`
    // still waits: the peer reads, if at all, slower than it is sent to.
    bool laggingSince(TimePoint time) const { return m_watchingOutput && m_lagMarkTime < time; }

    // Reads up to `allowance` bytes onto the input, through `buffer`; a
    // reset or any other failed read counts as the peer closing. A packet
    // connection reads one whole packet, up to the buffer's size, whatever
    // the allowance: its address pays for it afterwards.
    Read read(qint64 allowance, QByteArray& buffer, bool peerClosing);
    void queue(QByteArrayView bytes);
    // Queues a roster broadcast; its rows stay shared, last in the queue,
    // until they are written or something is queued behind them, and give
    // way to the next broadcast's rows if that comes first.
    void queueRoster(const RosterBroadcast& roster);
    // Writes until the kernel takes no more, then waits for the socket to,
    // from `now`. A failed write stops all writing: the connection is then
    // closing.
    Failure write(TimePoint now);
    // Tells epoll what the connection waits for now: input unless throttled,
    // and room for output while some waits. One with nothing to wait for in
    // a set leaves it, so that an error on it cannot wake the loop for nothing.
    Failure updateWatch();
    // The descriptor and unsent output go at once; the slot keeps its number.
    void release();

    const sockaddr_in6 remote;
    // Held for as long as the connection exists.
    AddressLedger::Account& account;

private:
    void stopWriting();
    void discardOutput();
    void append(QByteArrayView bytes);
    Failure writeOut(TimePoint now);
    void took(qsizetype bytes, TimePoint now);
    Failure waitForRoom(TimePoint now);
    // The rows waiting last in the queue become bytes in it.
    void spellOutRows();

    int m_state = SlotArray::sckConnected;
    QByteArray m_input;
    bool m_writeDue = false;
    bool m_throttled = false;
    int m_fd;
    const int m_index;
    EpollWatches& m_inputWatches;
    EpollWatches& m_outputWatches;
    qsizetype& m_allUnsent;
    const bool m_keepsMessagesApart;
    QByteArray m_output;
    qsizetype m_outputSent = 0;
    // On a packet connection, the sizes of the messages in the output not
    // yet sent, in order; empty on a stream.
    std::deque<qsizetype> m_messageSizes;
    std::shared_ptr<const RosterRows> m_rows;
    qsizetype m_rowsBytes = 0;
    // While the socket takes no more: when it last took output, or began
    // to take no more.
    TimePoint m_progress;
    // All output the kernel has taken; once it reaches the mark, all that
    // was queued by the mark's time has gone, and the mark moves to the end
    // of what waits now.
    qint64 m_taken = 0;
    qint64 m_lagMark = 0;
    TimePoint m_lagMarkTime;
    bool m_watchingOutput = false;
    quint32 m_watchedInput = 0;
    quint32 m_watchedOutput = 0;
};
