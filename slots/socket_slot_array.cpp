#include "socket_slot_array.h"

#include <QCoreApplication>
#include <QScopedValueRollback>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstring>
#include <utility>

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int readyEventsPerPass = 64;
constexpr int acceptsPerPass = 64;
constexpr qsizetype readChunk = 64 * 1024;
// One read pass takes at most this much from a client, so that a client that
// sends without pause cannot keep a single pass busy for ever.
constexpr qsizetype maxReadPerPass = 1024 * 1024;
constexpr auto descriptorRetry = std::chrono::milliseconds(100);
// How often reading resumes for clients over their input budget.
constexpr auto refillTick = std::chrono::milliseconds(50);

SlotError systemError(int code)
{
    return SlotError { code, QString::fromLocal8Bit(std::strerror(code)) };
}

bool wouldBlock(int code)
{
    return code == EAGAIN || code == EWOULDBLOCK;
}

int openSpareDescriptor()
{
    return ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

sockaddr_in6 asIpv6(const sockaddr_storage& address)
{
    if (address.ss_family == AF_INET6)
        return reinterpret_cast<const sockaddr_in6&>(address);
    sockaddr_in6 mapped {};
    mapped.sin6_family = AF_INET6;
    if (address.ss_family == AF_INET) {
        const auto& ipv4 = reinterpret_cast<const sockaddr_in&>(address);
        mapped.sin6_port = ipv4.sin_port;
        mapped.sin6_addr.s6_addr[10] = 0xff;
        mapped.sin6_addr.s6_addr[11] = 0xff;
        std::memcpy(&mapped.sin6_addr.s6_addr[12], &ipv4.sin_addr, sizeof ipv4.sin_addr);
    }
    return mapped;
}

QString addressText(const sockaddr_in6& address)
{
    char text[INET6_ADDRSTRLEN] = {};
    if (IN6_IS_ADDR_V4MAPPED(&address.sin6_addr))
        inet_ntop(AF_INET, &address.sin6_addr.s6_addr[12], text, sizeof text);
    else
        inet_ntop(AF_INET6, &address.sin6_addr, text, sizeof text);
    return QString::fromLatin1(text);
}

// A dual-stack listener where the host has IPv6, plain IPv4 otherwise.
int listeningSocket(quint16 port)
{
    const int on = 1;
    const int off = 0;
    int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd >= 0) {
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
        // Lets a stop and a new start take the port again while connections
        // accepted on it are still open.
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in6 address {};
        address.sin6_family = AF_INET6;
        address.sin6_addr = in6addr_any;
        address.sin6_port = htons(port);
        if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
            return fd;
        const int error = errno;
        ::close(fd);
        if (error != EADDRNOTAVAIL) {
            errno = error;
            return -1;
        }
    } else if (errno != EAFNOSUPPORT) {
        return -1;
    }
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
        return fd;
    const int error = errno;
    ::close(fd);
    errno = error;
    return -1;
}

} // namespace

SocketSlotArray::SocketSlotArray(QObject* parent)
    : SlotArray(parent)
    , m_epoll(::epoll_create1(EPOLL_CLOEXEC))
    , m_spareFd(openSpareDescriptor())
    , m_readBuffer(readChunk, Qt::Uninitialized)
{
    if (m_epoll < 0)
        qFatal("epoll_create1: %s", std::strerror(errno));
    m_notifier = new QSocketNotifier(m_epoll, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &SocketSlotArray::runReadySockets);
    m_refillTimer.setInterval(refillTick);
    connect(&m_refillTimer, &QTimer::timeout, this, &SocketSlotArray::resumeThrottled);
}

SocketSlotArray::~SocketSlotArray()
{
    for (auto& [index, connection] : m_table) {
        if (connection.fd >= 0)
            ::close(connection.fd);
    }
    for (const int fd : { m_listenFd, m_pendingRequest, m_spareFd }) {
        if (fd >= 0)
            ::close(fd);
    }
    delete m_notifier;
    ::close(m_epoll);
}

void SocketSlotArray::setInputBudget(InputBudget budget)
{
    m_inputBudget = budget;
}

SlotError SocketSlotArray::Bind(int index, quint16 port)
{
    if (index != 0 || m_listenFd >= 0)
        return systemError(EINVAL);
    const int fd = listeningSocket(port);
    if (fd < 0)
        return systemError(errno);
    m_listenFd = fd;
    m_listenState = sckOpen;
    return {};
}

SlotError SocketSlotArray::Listen(int index)
{
    if (index != 0 || m_listenState != sckOpen)
        return systemError(EINVAL);
    if (::listen(m_listenFd, SOMAXCONN) != 0)
        return systemError(errno);
    epoll_event event {};
    event.events = EPOLLIN;
    event.data.u64 = 0;
    if (::epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_listenFd, &event) != 0)
        return systemError(errno);
    m_listenState = sckListening;
    return {};
}

void SocketSlotArray::Close(int index)
{
    if (index != 0)
        return;
    if (m_listenFd >= 0)
        ::close(m_listenFd);
    m_listenFd = -1;
    m_listenState = sckClosed;
}

SlotError SocketSlotArray::Load(int index)
{
    return m_table.create(index) ? SlotError {} : systemError(EEXIST);
}

SlotError SocketSlotArray::Accept(int index, qint32 requestID)
{
    if (index <= 0 || index > m_table.lastCreated() || m_table.find(index) || requestID < 0
        || requestID != m_pendingRequest)
        return systemError(EINVAL);
    m_pendingRequest = -1;
    const int fd = requestID;

    sockaddr_storage peer {};
    socklen_t length = sizeof peer;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0) {
        const int error = errno;
        ::close(fd);
        return systemError(error);
    }
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    Connection& connection
        = m_table.open(index, Connection(fd, asIpv6(peer), TokenBucket(m_inputBudget, TokenBucket::Clock::now())));
    updateWatch(index, connection);
    if (connection.watched == 0) {
        const int error = errno;
        ::close(fd);
        m_table.erase(index);
        return systemError(error);
    }
    return {};
}

// Each message is its own write, sent at once. What the kernel does not take
// now waits in the slot's output until the socket can take more.
SlotError SocketSlotArray::SendData(int index, const QByteArray& bytes)
{
    Connection* c = m_table.find(index);
    if (!c || c->state != sckConnected)
        return systemError(ENOTCONN);
    qsizetype sent = 0;
    if (c->outputSent == c->output.size()) {
        const ssize_t n = ::send(c->fd, bytes.constData(), std::size_t(bytes.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && !wouldBlock(errno) && errno != EINTR) {
            const int error = errno;
            dropConnection(index);
            return systemError(error);
        }
        sent = n > 0 ? n : 0;
        if (sent == bytes.size())
            return {};
    }
    c->output.append(bytes.constData() + sent, bytes.size() - sent);
    if (c->output.size() - c->outputSent > m_outputCap) {
        dropConnection(index);
        return systemError(ENOBUFS);
    }
    c->watchingOutput = true;
    updateWatch(index, *c);
    return {};
}

QByteArray SocketSlotArray::GetData(int index)
{
    Connection* c = m_table.find(index);
    return c ? std::exchange(c->input, {}) : QByteArray();
}

int SocketSlotArray::State(int index) const
{
    if (index == 0)
        return m_listenState;
    const Connection* c = m_table.find(index);
    return c ? c->state : sckClosed;
}

QString SocketSlotArray::RemoteHostIP(int index) const
{
    const Connection* c = m_table.find(index);
    return c ? addressText(c->remote) : QString();
}

// The host's first non-loopback IPv4 address, or 127.0.0.1 where it has none.
QString SocketSlotArray::LocalIP(int /*index*/) const
{
    QString address = QStringLiteral("127.0.0.1");
    ifaddrs* interfaces = nullptr;
    if (::getifaddrs(&interfaces) != 0)
        return address;
    for (const ifaddrs* i = interfaces; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !(i->ifa_flags & IFF_UP)
            || (i->ifa_flags & IFF_LOOPBACK))
            continue;
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr, text, sizeof text);
        address = QString::fromLatin1(text);
        break;
    }
    ::freeifaddrs(interfaces);
    return address;
}

int SocketSlotArray::nextConnected(int after) const
{
    return m_table.nextConnected(after);
}

// Called after every message of a broadcast, so it asks the kernel and Qt
// only as often as promptness needs: ready sockets are looked for at most
// every socketCheckInterval, and Qt's pass, which runs the window's events,
// runs at most every windowPassInterval.
void SocketSlotArray::DoEvents()
{
    if (m_yieldDepth >= maxYieldDepth)
        return;
    const auto now = std::chrono::steady_clock::now();
    const bool checkSockets = now - m_socketsChecked >= socketCheckInterval;
    const bool runWindowPass = now - m_windowPassRun >= windowPassInterval;
    if (!checkSockets && !runWindowPass)
        return;
    const QScopedValueRollback depth(m_yieldDepth, m_yieldDepth + 1);
    if (checkSockets)
        runReadySockets();
    if (runWindowPass) {
        m_windowPassRun = now;
        QCoreApplication::processEvents();
    }
}

// Handlers run from here may yield and so run this again, nested; the outer
// pass then finds some of its events already handled, which every step below
// notices by itself (nothing to accept, nothing to read, slot already gone).
void SocketSlotArray::runReadySockets()
{
    m_socketsChecked = std::chrono::steady_clock::now();
    epoll_event events[readyEventsPerPass];
    const int ready = ::epoll_wait(m_epoll, events, readyEventsPerPass, 0);
    for (int i = 0; i < ready; ++i) {
        ++m_readyEvents;
        const int index = int(events[i].data.u64);
        if (index == 0) {
            acceptConnections();
            continue;
        }
        if (events[i].events & EPOLLOUT)
            flushOutput(index);
        if (events[i].events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR))
            receive(index);
    }
}

void SocketSlotArray::acceptConnections()
{
    for (int n = 0; n < acceptsPerPass && m_listenState == sckListening; ++n) {
        const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            if ((errno == EMFILE || errno == ENFILE) && acceptWithoutDescriptors())
                continue;
            return;
        }
        // A request is valid only while its event is being handled.
        if (m_pendingRequest >= 0)
            ::close(m_pendingRequest);
        m_pendingRequest = fd;
        emit connectionRequest(0, fd);
        if (m_pendingRequest == fd) {
            ::close(fd);
            m_pendingRequest = -1;
        }
    }
}

// Out of descriptors, a waiting connection keeps the listener ready, and the
// loop would spin. The spare descriptor is given up to take that connection
// and drop it; if even that is not possible, listening pauses for a moment.
// Returns whether accepting may go on now.
bool SocketSlotArray::acceptWithoutDescriptors()
{
    if (m_spareFd >= 0) {
        ::close(m_spareFd);
        const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0)
            ::close(fd);
        m_spareFd = openSpareDescriptor();
        return true;
    }
    m_spareFd = openSpareDescriptor();
    if (m_spareFd >= 0)
        return true;
    setListening(false);
    QTimer::singleShot(descriptorRetry, this, [this] { setListening(true); });
    return false;
}

void SocketSlotArray::setListening(bool armed)
{
    if (m_listenState != sckListening)
        return;
    epoll_event event {};
    event.events = armed ? quint32(EPOLLIN) : 0u;
    event.data.u64 = 0;
    ::epoll_ctl(m_epoll, EPOLL_CTL_MOD, m_listenFd, &event);
}

// Reads what the client's budget allows. A client over its budget is not
// read again until the budget has refilled: its bytes wait in the kernel,
// in order, and TCP slows the sender down.
void SocketSlotArray::receive(int index)
{
    Connection* c = m_table.find(index);
    if (!c || c->state != sckConnected || c->throttled)
        return;
    const auto now = TokenBucket::Clock::now();
    const qint64 allowance = std::min<qint64>(maxReadPerPass, c->budget.available(now));
    enum class End { Allowance, Drained, PeerGone } end = End::Allowance;
    qsizetype received = 0;
    while (received < allowance) {
        const auto wanted = std::size_t(std::min<qint64>(m_readBuffer.size(), allowance - received));
        const ssize_t n = ::recv(c->fd, m_readBuffer.data(), wanted, 0);
        if (n > 0) {
            c->input.append(m_readBuffer.constData(), n);
            received += n;
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            // A reset or any other failed read counts as the peer closing.
            end = n < 0 && wouldBlock(errno) ? End::Drained : End::PeerGone;
            break;
        }
    }
    c->budget.spend(received);
    if (end == End::Allowance && c->budget.available(now) < resumeThreshold())
        throttle(index, *c);
    if (end == End::PeerGone)
        release(*c);
    // The entry outlives its connection until its last input has been taken.
    if (received > 0)
        emit dataArrival(index, received);
    if (end == End::PeerGone) {
        m_table.erase(index);
        emit peerClosed(index);
    }
}

void SocketSlotArray::flushOutput(int index)
{
    Connection* c = m_table.find(index);
    if (!c || c->state != sckConnected)
        return;
    while (c->outputSent < c->output.size()) {
        const ssize_t n = ::send(c->fd, c->output.constData() + c->outputSent,
            std::size_t(c->output.size() - c->outputSent), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            c->outputSent += n;
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && wouldBlock(errno)) {
            // Keep the buffer from holding on to what has gone out already.
            if (c->outputSent > c->output.size() / 2) {
                c->output.remove(0, c->outputSent);
                c->outputSent = 0;
            }
            return;
        } else {
            dropConnection(index);
            return;
        }
    }
    c->output.clear();
    c->outputSent = 0;
    c->watchingOutput = false;
    updateWatch(index, *c);
}

// Tells epoll what the connection waits for now. One with nothing to wait
// for leaves epoll, so that an error on it cannot wake the loop for nothing.
void SocketSlotArray::updateWatch(int index, Connection& connection)
{
    const quint32 wanted = (connection.throttled ? 0u : quint32(EPOLLIN | EPOLLRDHUP))
        | (connection.watchingOutput ? quint32(EPOLLOUT) : 0u);
    if (wanted == connection.watched)
        return;
    epoll_event event {};
    event.events = wanted;
    event.data.u64 = quint64(index);
    const int operation = connection.watched == 0 ? EPOLL_CTL_ADD : wanted == 0 ? EPOLL_CTL_DEL : EPOLL_CTL_MOD;
    if (::epoll_ctl(m_epoll, operation, connection.fd, &event) == 0)
        connection.watched = wanted;
}

void SocketSlotArray::throttle(int index, Connection& connection)
{
    connection.throttled = true;
    updateWatch(index, connection);
    m_throttled.push_back(index);
    if (!m_refillTimer.isActive())
        m_refillTimer.start();
}

// A tick's worth of the budget, or the whole burst where that is smaller: a
// client is read again once it may send that much.
qint64 SocketSlotArray::resumeThreshold() const
{
    const qint64 tickBytes = m_inputBudget.bytesPerSecond * refillTick.count() / 1000;
    return std::clamp<qint64>(tickBytes, 1, m_inputBudget.burst);
}

void SocketSlotArray::resumeThrottled()
{
    const auto now = TokenBucket::Clock::now();
    std::erase_if(m_throttled, [&](int index) {
        Connection* c = m_table.find(index);
        if (!c || c->state != sckConnected)
            return true;
        if (c->budget.available(now) < resumeThreshold())
            return false;
        c->throttled = false;
        updateWatch(index, *c);
        return true;
    });
    if (m_throttled.empty())
        m_refillTimer.stop();
}

// The descriptor and unsent output go at once; the slot keeps only its number.
void SocketSlotArray::release(Connection& connection)
{
    ::close(connection.fd);
    connection.fd = -1;
    connection.state = sckClosing;
    connection.output = QByteArray();
    connection.outputSent = 0;
    connection.watched = 0;
}

// A connection that failed while being written to, or that let its unsent
// output grow past the cap. Its close event is raised from the event loop,
// not from inside the send that found it.
void SocketSlotArray::dropConnection(int index)
{
    if (Connection* c = m_table.find(index))
        release(*c);
    m_table.erase(index);
    m_dropped.push_back(index);
    if (m_dropped.size() == 1)
        QMetaObject::invokeMethod(this, &SocketSlotArray::raiseDropped, Qt::QueuedConnection);
}

void SocketSlotArray::raiseDropped()
{
    const std::vector<int> dropped = std::exchange(m_dropped, {});
    for (const int index : dropped)
        emit peerClosed(index);
}
