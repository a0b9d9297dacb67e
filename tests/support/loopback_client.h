#pragma once

#include <QByteArray>
#include <QByteArrayView>

// A plain TCP client on 127.0.0.1 for tests that run the server in the same
// thread: it never blocks, so the test's event loop keeps the server going.
class LoopbackClient {
public:
    // Makes the socket only: connectTo() then needs no new descriptor.
    LoopbackClient();
    explicit LoopbackClient(quint16 port);
    ~LoopbackClient();
    LoopbackClient(const LoopbackClient&) = delete;
    LoopbackClient& operator=(const LoopbackClient&) = delete;

    bool connectTo(quint16 port);
    bool isOpen() const { return m_fd >= 0; }
    // Queues the bytes; pump() writes them out as the socket takes them.
    void send(QByteArrayView bytes);
    // Writes what it can, reads what has arrived; returns whether the server
    // has closed the connection.
    bool pump();
    // Everything received so far (after a pump).
    const QByteArray& received();
    bool hasReceived(QByteArrayView bytes);
    bool allSent() const { return m_output.isEmpty(); }
    // Forgets everything that has arrived so far.
    void clearReceived()
    {
        pump();
        m_input.clear();
    }
    // From now on pump() only writes: what the server sends piles up.
    void stopReading() { m_reading = false; }
    // Closes with a reset (RST) instead of an orderly close.
    void reset();
    void close();

private:
    int m_fd = -1;
    bool m_peerClosed = false;
    bool m_reading = true;
    QByteArray m_input;
    QByteArray m_output;
};

// A port that was free a moment ago on 127.0.0.1.
quint16 freePort();
// Open file descriptors of this process.
int openDescriptors();
// Resident memory of this process.
long residentBytes();
