#pragma once

#include "failure.h"
#include "http_answer.h"
#include "http_exchanges.h"
#include "pair_watches.h"
#include "web_client_bridge.h"

#include <QTcpServer>
#include <QWebSocketServer>

// The web port: serves the chat page and turns each browser's WebSocket at
// "/chat" into a client of the slot array, handed over through `adopt`.
// Requests are answered from their head alone, peeked and not consumed, so
// that an upgrade reaches the WebSocket handshake whole.
class WebGateway : public QObject {
    Q_OBJECT

public:
    using Adopt = WebClientBridge::Adopt;

    explicit WebGateway(Adopt adopt, QObject* parent = nullptr);

    // Listens on `port` on every address, IPv4 and IPv6; 0 lets the kernel
    // choose.
    Failure open(quint16 port);
    // Serves a listening socket opened by the service manager; owns it from
    // now on, and closes one it cannot serve.
    Failure adopt(int listeningFd);
    // Stops listening and drops requests not yet answered; web clients
    // already chatting stay until the slot array closes them.
    void close();
    quint16 port() const { return m_listener.serverPort(); }
    bool isOpen() const { return m_listener.isListening(); }

private:
    void acceptPending();
    void answer(QTcpSocket* socket, const QByteArray& head);
    void bridgeNewClients();

    Adopt m_adopt;
    HttpRouter m_router;
    QTcpServer m_listener;
    HttpExchanges m_exchanges;
    QWebSocketServer m_handshakes;
    PairWatches m_pairs;
};
