#pragma once

#include <QDir>
#include <QFile>
#include <QMap>
#include <QTcpSocket>
#include <QTest>

#include <algorithm>
#include <memory>

#include <sys/socket.h>
#include <unistd.h>

// Clients on 127.0.0.1 in the test's own thread. Qt reads what arrives into a
// client's buffer whenever the event loop runs, the server's yields included,
// so the buffer holds everything received and not yet taken.
using Client = std::unique_ptr<QTcpSocket>;

// How long a test waits for what it expects: long, for shared, slow machines.
constexpr int timeoutMs = 20000;

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

// Whether the client receives exactly these bytes next; takes them.
inline bool receives(QTcpSocket& client, const QByteArray& bytes)
{
    return QTest::qWaitFor(
               [&] {
                   return client.bytesAvailable() >= bytes.size()
                       || client.state() == QAbstractSocket::UnconnectedState;
               },
               timeoutMs)
        && client.readAll() == bytes;
}

// A client from `from` that has had its greeting and nothing more; none
// where it was not greeted.
inline Client greeted(quint16 port, const char* from = "127.0.0.1")
{
    Client client = connectClient(port, from);
    return receives(*client, "NICK") ? std::move(client) : nullptr;
}

// Whether a new client from `from` is greeted, or else closed unanswered,
// as a connection the server refuses is.
inline bool greetedFrom(quint16 port, const char* from)
{
    return greeted(port, from) != nullptr;
}

// Closes with a reset (RST) instead of an orderly close.
inline void reset(QTcpSocket& client)
{
    const linger abortive { 1, 0 };
    ::setsockopt(int(client.socketDescriptor()), SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    client.abort();
}

// A port the kernel handed out, kept bound (not listening) while this lives,
// so that no other socket can take it: the server under test listens on it
// beside this socket, both allowing it with SO_REUSEADDR.
struct ReservedPort {
    QTcpSocket socket;
    quint16 port = socket.bind(QHostAddress::AnyIPv4, 0, QAbstractSocket::ReuseAddressHint)
        ? socket.localPort()
        : 0;
};

// Less ".", ".." and the descriptor that reads the folder.
inline int openDescriptors()
{
    return int(QDir(QStringLiteral("/proc/self/fd")).count()) - 3;
}

// What process `pid` has open: where each of its descriptors leads, by number.
inline QMap<QString, QString> openFiles(const QString& pid = QStringLiteral("self"))
{
    QMap<QString, QString> files;
    const QString folder = QStringLiteral("/proc/%1/fd/").arg(pid);
    for (const QString& fd :
        QDir(folder).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)) {
        char target[4096];
        const ssize_t size
            = ::readlink(QFile::encodeName(folder + fd).constData(), target, sizeof target);
        files.insert(fd, QFile::decodeName(QByteArray(target, std::max<ssize_t>(size, 0))));
    }
    return files;
}
