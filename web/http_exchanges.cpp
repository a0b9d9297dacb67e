#include "http_exchanges.h"

#include "http_request.h"

#include <QTcpSocket>

#include <algorithm>

HttpExchanges::HttpExchanges(QObject* parent)
    : QObject(parent)
{
    m_expiry.setSingleShot(true);
    connect(&m_expiry, &QTimer::timeout, this, &HttpExchanges::cutExpired);
}

HttpExchanges::~HttpExchanges()
{
    cutAll();
}

void HttpExchanges::add(QTcpSocket* socket)
{
    if (m_exchanges.size() >= capacity)
        cut(m_exchanges.front().socket);
    socket->setParent(this);
    // Qt stops reading at this size, so a head that never ends fills no more.
    socket->setReadBufferSize(headLimit);
    m_exchanges.push_back({ socket, QDeadlineTimer(timeout) });
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] { checkHead(socket); });
    connect(socket, &QTcpSocket::disconnected, this, [this, socket] { cut(socket); });
    scheduleExpiry();
    checkHead(socket);
}

void HttpExchanges::release(QTcpSocket* socket)
{
    forget(socket);
    socket->disconnect(this);
    socket->setParent(nullptr);
    socket->setReadBufferSize(0);
}

void HttpExchanges::cutAll()
{
    while (!m_exchanges.empty())
        cut(m_exchanges.front().socket);
}

void HttpExchanges::checkHead(QTcpSocket* socket)
{
    const QByteArray buffered = socket->peek(headLimit);
    if (const qsizetype length = requestHeadLength(buffered); length > 0) {
        // Answered once: what the browser sends after its head is not read.
        disconnect(socket, &QTcpSocket::readyRead, this, nullptr);
        emit headArrived(socket, buffered.left(length));
    } else if (buffered.size() >= headLimit) {
        cut(socket);
    }
}

void HttpExchanges::forget(QTcpSocket* socket)
{
    const auto found = std::find_if(m_exchanges.begin(), m_exchanges.end(),
        [socket](const Exchange& exchange) { return exchange.socket == socket; });
    if (found != m_exchanges.end())
        m_exchanges.erase(found);
    scheduleExpiry();
}

void HttpExchanges::cut(QTcpSocket* socket)
{
    forget(socket);
    socket->disconnect(this);
    socket->abort();
    socket->deleteLater();
}

void HttpExchanges::cutExpired()
{
    while (!m_exchanges.empty() && m_exchanges.front().deadline.hasExpired())
        cut(m_exchanges.front().socket);
}

void HttpExchanges::scheduleExpiry()
{
    if (m_exchanges.empty())
        m_expiry.stop();
    else
        m_expiry.start(std::chrono::ceil<std::chrono::milliseconds>(
            m_exchanges.front().deadline.remainingTimeAsDuration()));
}
