#pragma once

#include "loopback.h"

#include <QWebSocket>

#include <numeric>
#include <utility>

// A browser's WebSocket on the chat, from a page of the server at
// `hostAndPort`: the messages it has been sent and not yet taken.
struct WebClient {
    QWebSocket socket;
    QByteArrayList received;

    explicit WebClient(const QString& hostAndPort)
        : socket(QLatin1String("http://") + hostAndPort)
    {
        QObject::connect(&socket, &QWebSocket::binaryMessageReceived,
            [this](const QByteArray& message) { received.append(message); });
        socket.open(QUrl(QLatin1String("ws://") + hostAndPort + QLatin1String("/chat")));
    }
    // Whether exactly these messages come next, apart; takes them.
    bool receives(const QByteArrayList& messages)
    {
        const bool arrived
            = QTest::qWaitFor([&] { return received.size() >= messages.size(); }, timeoutMs);
        return arrived && std::exchange(received, {}) == messages;
    }
    bool closed()
    {
        return QTest::qWaitFor(
            [&] { return socket.state() == QAbstractSocket::UnconnectedState; }, timeoutMs);
    }
};

// Every byte value once, in order.
inline QByteArray allByteValues()
{
    QByteArray bytes(256, Qt::Uninitialized);
    std::iota(bytes.begin(), bytes.end(), char(0));
    return bytes;
}
