#pragma once

#include <QDir>
#include <QTcpServer>
#include <QTcpSocket>

#include <memory>

#include <sys/socket.h>

// Clients on 127.0.0.1 in the test's own thread. Qt reads what arrives into a
// client's buffer whenever the event loop runs, the server's yields included,
// so the buffer holds everything received and not yet taken.
using Client = std::unique_ptr<QTcpSocket>;

// Its socket exists when this returns; the kernel completes the connection
// into the listen backlog without the server having run. Clients from
// different loopback addresses are different machines to the server.
inline Client connectClient(quint16 port, const char* from = "127.0.0.1")
{
    auto client = std::make_unique<QTcpSocket>();
    client->bind(QHostAddress(QLatin1String(from)));
    client->connectToHost(QHostAddress::LocalHost, port);
    return client;
}

inline QByteArray received(QTcpSocket& client) { return client.peek(client.bytesAvailable()); }

// Closes with a reset (RST) instead of an orderly close.
inline void reset(QTcpSocket& client)
{
    const linger abortive { 1, 0 };
    ::setsockopt(int(client.socketDescriptor()), SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    client.abort();
}

// A port that was free a moment ago on 127.0.0.1.
inline quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    return probe.serverPort();
}

// Less ".", ".." and the descriptor that reads the folder.
inline int openDescriptors() { return int(QDir(QStringLiteral("/proc/self/fd")).count()) - 3; }
