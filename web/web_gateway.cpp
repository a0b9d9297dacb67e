#include "web_gateway.h"

#include <QTcpSocket>
#include <QWebSocket>

#include <cerrno>

WebGateway::WebGateway(Adopt adopt, QObject* parent)
    : QObject(parent)
    , m_adopt(std::move(adopt))
    , m_router(OriginRule(OriginRule::thisMachine()))
    , m_handshakes(QString(), QWebSocketServer::NonSecureMode)
{
    connect(&m_listener, &QTcpServer::newConnection, this, &WebGateway::acceptPending);
    connect(&m_exchanges, &HttpExchanges::headArrived, this, &WebGateway::answer);
    connect(&m_handshakes, &QWebSocketServer::newConnection, this, &WebGateway::bridgeNewClients);
}

Failure WebGateway::open(quint16 port)
{
    close();
    if (m_listener.listen(QHostAddress::Any, port))
        return {};
    switch (m_listener.serverError()) {
    case QAbstractSocket::AddressInUseError:
        return { EADDRINUSE, m_listener.errorString() };
    case QAbstractSocket::SocketAccessError:
        return { EACCES, m_listener.errorString() };
    default:
        return { EINVAL, m_listener.errorString() };
    }
}

Failure WebGateway::adopt(int listeningFd)
{
    close();
    if (!m_listener.setSocketDescriptor(listeningFd)) {
        closeDescriptor(listeningFd);
        return { EBADF, m_listener.errorString() };
    }
    return {};
}

void WebGateway::close()
{
    m_listener.close();
    m_exchanges.cutAll();
}

void WebGateway::acceptPending()
{
    // Bounded by the listen backlog; the exchanges keep at most their capacity.
    while (QTcpSocket* socket = m_listener.nextPendingConnection())
        m_exchanges.add(socket);
}

void WebGateway::answer(QTcpSocket* socket, const QByteArray& head)
{
    const HttpAnswer answer = m_router.answer(head);
    if (answer.upgrades) {
        m_exchanges.release(socket);
        socket->setParent(&m_handshakes);
        m_handshakes.handleConnection(socket);
        return;
    }
    socket->write(answer.response);
    socket->disconnectFromHost();
}

void WebGateway::bridgeNewClients()
{
    while (QWebSocket* socket = m_handshakes.nextPendingConnection())
        new WebClientBridge(socket, m_adopt, m_pairs, this);
}
