#pragma once

#include "address_ledger.h"
#include "epoll_watches.h"
#include "slot_array.h"

#include <QByteArray>
#include <QByteArrayView>

#include <chrono>

#include <netinet/in.h>

// One accepted client connection of the slot array: its descriptor, what it
// sent and is not yet handled, and its output not yet taken by the kernel.
// It owns the descriptor, and keeps the count of all connections' unsent
// output, `allUnsent`, in step with its own.
class ClientConnection {
public:
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
        EpollWatches& watches, qsizetype& allUnsent);
    ~ClientConnection();
    ClientConnection(const ClientConnection&) = delete;
    ClientConnection& operator=(const ClientConnection&) = delete;

    // Connected, or closing after a failed write and read to its end.
    bool isOpen() const { return m_fd >= 0; }
    qsizetype unsent() const { return m_output.size() - m_outputSent; }
    // Waiting for the socket to take more: written to only when it can.
    bool watchingOutput() const { return m_watchingOutput; }

    // Reads up to `allowance` bytes onto the input, through `buffer`; a
    // reset or any other failed read counts as the peer closing.
    Read read(qint64 allowance, QByteArray& buffer, bool peerClosing);
    void queue(QByteArrayView bytes);
    // Writes until the kernel takes no more, then waits for the socket to.
    // A failed write stops all writing: the connection is then closing.
    Failure write();
    // Tells epoll what the connection waits for now: input unless throttled,
    // and room for output while some waits. One with nothing to wait for
    // leaves epoll, so that an error on it cannot wake the loop for nothing.
    Failure updateWatch();
    // The descriptor and unsent output go at once; the slot keeps its number.
    void release();

    int state = SlotArray::sckConnected;
    const sockaddr_in6 remote;
    QByteArray input;
    // Sent something this turn, to be written when the turn ends.
    bool writeDue = false;
    // Not read for now: its address is over its budget, or is busy while
    // another handler runs.
    bool throttled = false;
    // Held for as long as the connection exists.
    AddressLedger::Account& account;

private:
    void stopWriting();
    void discardOutput();

    int m_fd;
    const int m_index;
    EpollWatches& m_watches;
    qsizetype& m_allUnsent;
    QByteArray m_output;
    qsizetype m_outputSent = 0;
    bool m_watchingOutput = false;
    quint32 m_watched = 0;
};
