#include "web_client_bridge.h"

#include "failure.h"

#include <QNetworkInterface>
#include <QWebSocket>

#include <algorithm>
#include <cerrno>

#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

// The browser's address as accept() gives it on a dual-stack socket: IPv4
// as IPv4-mapped IPv6, the port in network order.
sockaddr_in6 socketAddress(const QHostAddress& address, quint16 port)
{
    sockaddr_in6 remote {};
    remote.sin6_family = AF_INET6;
    remote.sin6_port = htons(port);
    const Q_IPV6ADDR bytes = address.toIPv6Address();
    std::copy(std::begin(bytes.c), std::end(bytes.c), remote.sin6_addr.s6_addr);
    if (const QString scope = address.scopeId(); !scope.isEmpty())
        remote.sin6_scope_id = QNetworkInterface::interfaceIndexFromName(scope);
    return remote;
}

bool fitsLatin1(const QString& text)
{
    return std::all_of(text.begin(), text.end(), [](QChar c) { return c.unicode() <= 0xff; });
}

} // namespace

WebClientBridge::WebClientBridge(
    QWebSocket* socket, const Adopt& adopt, PairWatches& watches, QObject* parent)
    : QObject(parent)
    , m_socket(socket)
    , m_watches(watches)
{
    m_socket->setParent(this);
    m_socket->setMaxAllowedIncomingMessageSize(messageLimit);
    m_socket->setMaxAllowedIncomingFrameSize(messageLimit);
    m_closingDeadline.setSingleShot(true);
    m_closingDeadline.setInterval(10s);
    connect(&m_closingDeadline, &QTimer::timeout, m_socket, &QWebSocket::abort);
    connect(m_socket, &QWebSocket::disconnected, this, &WebClientBridge::onSocketDisconnected);

    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, ends) != 0) {
        m_socket->close(QWebSocketProtocol::CloseCodeBadOperation,
            QStringLiteral("The server cannot take more clients now"));
        return;
    }
    m_pairEnd = ends[0];
    m_watched = EPOLLIN | EPOLLRDHUP;
    if (!m_watches.watch(m_pairEnd, m_watched, &m_onEvents)) {
        closeDescriptor(ends[1]);
        closePair();
        m_socket->close(QWebSocketProtocol::CloseCodeBadOperation,
            QStringLiteral("The server cannot take more clients now"));
        return;
    }
    connect(m_socket, &QWebSocket::binaryMessageReceived, this, &WebClientBridge::forward);
    connect(m_socket, &QWebSocket::textMessageReceived, this, &WebClientBridge::forwardText);
    connect(m_socket, &QWebSocket::bytesWritten, this, &WebClientBridge::resumeReading);
    adopt(ends[1], socketAddress(m_socket->peerAddress(), m_socket->peerPort()));
}

WebClientBridge::~WebClientBridge()
{
    m_socket->disconnect(this);
    closePair();
}

void WebClientBridge::forward(const QByteArray& message)
{
    // An empty packet would read as the end of the connection.
    if (message.isEmpty() || m_pairEnd < 0)
        return;
    if (m_queuedBytes + message.size() > queueLimit) {
        m_socket->close(QWebSocketProtocol::CloseCodePolicyViolated,
            QStringLiteral("Sent faster than the server reads"));
        return;
    }
    m_queue.push_back(message);
    m_queuedBytes += message.size();
    writeQueued();
}

void WebClientBridge::forwardText(const QString& message)
{
    if (!fitsLatin1(message)) {
        m_socket->close(QWebSocketProtocol::CloseCodeWrongDatatype,
            QStringLiteral("The chat carries Latin-1 text only"));
        return;
    }
    forward(message.toLatin1());
}

void WebClientBridge::writeQueued()
{
    while (!m_queue.empty()) {
        const QByteArray& packet = m_queue.front();
        if (::send(m_pairEnd, packet.constData(), size_t(packet.size()), MSG_NOSIGNAL) < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
                break;
            // The slot array has closed its end; its departure shows when
            // the pair is read.
            m_queue.clear();
            m_queuedBytes = 0;
            break;
        }
        m_queuedBytes -= packet.size();
        m_queue.pop_front();
    }
    updateWatch();
}

void WebClientBridge::readPackets()
{
    // Bounded by outputLimit plus one packet: reading pauses once the
    // WebSocket holds that much unsent, until it has written it.
    while (m_pairEnd >= 0) {
        if (m_socket->bytesToWrite() > outputLimit) {
            m_reading = false;
            updateWatch();
            return;
        }
        const ssize_t size = ::recv(m_pairEnd, nullptr, 0, MSG_PEEK | MSG_TRUNC);
        if (size < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            return;
        QByteArray packet(std::max<ssize_t>(size, 0), Qt::Uninitialized);
        if (size <= 0 || ::recv(m_pairEnd, packet.data(), size_t(size), 0) != size) {
            onPairClosed();
            return;
        }
        m_socket->sendBinaryMessage(packet);
    }
}

void WebClientBridge::resumeReading()
{
    if (m_pairEnd >= 0 && !m_reading && m_socket->bytesToWrite() <= outputLimit) {
        m_reading = true;
        updateWatch();
        readPackets();
    }
}

// Where epoll refuses a change, the pair is watched as before: for reading,
// which then stops at the output limit each time, or for room to write,
// which finds none and asks again.
void WebClientBridge::updateWatch()
{
    const quint32 wanted = EPOLLRDHUP | (m_reading ? quint32(EPOLLIN) : 0u)
        | (m_queue.empty() ? 0u : quint32(EPOLLOUT));
    if (m_pairEnd >= 0 && wanted != m_watched && m_watches.change(m_pairEnd, wanted, &m_onEvents))
        m_watched = wanted;
}

// Reading on finds the end after what was sent before it. While the browser
// is not reading, the rest is dropped, as a closed slot's unsent output is.
void WebClientBridge::onPairEvents(quint32 events)
{
    if (m_pairEnd < 0)
        return;
    if (events & EPOLLOUT)
        writeQueued();
    if (m_reading && (events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)))
        readPackets();
    else if (events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR))
        onPairClosed();
}

// Closing the descriptor takes it out of the epoll set.
void WebClientBridge::closePair()
{
    if (m_pairEnd >= 0)
        closeDescriptor(m_pairEnd);
    m_pairEnd = -1;
}

void WebClientBridge::onPairClosed()
{
    closePair();
    if (m_socket->state() == QAbstractSocket::UnconnectedState) {
        deleteLater();
        return;
    }
    m_closingDeadline.start();
    m_socket->close(QWebSocketProtocol::CloseCodeNormal);
}

void WebClientBridge::onSocketDisconnected()
{
    closePair();
    deleteLater();
}
