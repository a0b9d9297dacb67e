#pragma once

#include "handed_listener.h"
#include "web_gateway.h"

#include <QObject>
#include <QUrl>

class RelayEngine;
class SocketSlotArray;

// The chat page's port, open while the service is: a start opens it, a stop
// closes it. Where it cannot be opened, chat over TCP serves all the same,
// and failed() says why. Its clients join the slot array as any client does.
class WebPort final : public QObject {
    Q_OBJECT

public:
    static constexpr quint16 defaultPort = 8040;

    WebPort(RelayEngine& engine, SocketSlotArray& server);

    // 0 serves no page. Applies at the next start.
    void setPort(quint16 port) { m_port = port; }
    // The first start serves this socket, whatever the port.
    void adoptListener(const HandedListener& handed) { m_handed = handed; }

signals:
    void opened(const QUrl& page);
    void failed(const QString& reason);
    void closed();

private:
    void open();
    void close();

    SocketSlotArray& m_server;
    WebGateway m_gateway;
    quint16 m_port = defaultPort;
    HandedListener m_handed;
};
