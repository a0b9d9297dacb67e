#pragma once

#include <QDir>
#include <QTcpServer>
#include <QTcpSocket>

#include <memory>
#include <random>

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

inline QByteArray received(QTcpSocket& client)
{
    return client.peek(client.bytesAvailable());
}

// Closes with a reset (RST) instead of an orderly close.
inline void reset(QTcpSocket& client)
{
    const linger abortive { 1, 0 };
    ::setsockopt(int(client.socketDescriptor()), SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    client.abort();
}

// A port that was free a moment ago, below the ports the kernel hands out to
// clients (32768 and up), so that no client's connection, of this test or
// another, takes it before the server listens on it.
inline quint16 freePort()
{
    static std::mt19937 random(std::random_device {}());
    std::uniform_int_distribution<int> ports(20000, 32767);
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const auto port = quint16(ports(random));
        if (QTcpServer probe; probe.listen(QHostAddress::Any, port))
            return port;
    }
    return 0;
}

// Less ".", ".." and the descriptor that reads the folder.
inline int openDescriptors()
{
    return int(QDir(QStringLiteral("/proc/self/fd")).count()) - 3;
}
