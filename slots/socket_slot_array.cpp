#include "socket_slot_array.h"

#include <QCoreApplication>
#include <QScopedValueRollback>
#include <QSocketNotifier>
#include <QTimer>

#include <chrono>
#include <cerrno>
#include <cstring>

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
    , m_slots(1)
    , m_epoll(::epoll_create1(EPOLL_CLOEXEC))
    , m_spareFd(openSpareDescriptor())
    , m_readBuffer(readChunk, Qt::Uninitialized)
{
    if (m_epoll < 0)
        qFatal("epoll_create1: %s", std::strerror(errno));
    m_notifier = new QSocketNotifier(m_epoll, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &SocketSlotArray::runReadySockets);
}

SocketSlotArray::~SocketSlotArray()
{
    for (const Slot& s : m_slots) {
        if (s.fd >= 0)
            ::close(s.fd);
    }
    if (m_pendingRequest >= 0)
        ::close(m_pendingRequest);
    if (m_spareFd >= 0)
        ::close(m_spareFd);
    delete m_notifier;
    ::close(m_epoll);
}

SocketSlotArray::Slot* SocketSlotArray::slot(int index)
{
    return index >= 0 && index < slotCount() ? &m_slots[std::size_t(index)] : nullptr;
}

const SocketSlotArray::Slot* SocketSlotArray::slot(int index) const
{
    return index >= 0 && index < slotCount() ? &m_slots[std::size_t(index)] : nullptr;
}

SlotError SocketSlotArray::Bind(int index, quint16 port)
{
    Slot* s = slot(index);
    if (!s || s->fd >= 0)
        return systemError(EINVAL);
    const int fd = listeningSocket(port);
    if (fd < 0)
        return systemError(errno);
    s->fd = fd;
    s->state = sckOpen;
    return {};
}

SlotError SocketSlotArray::Listen(int index)
{
    Slot* s = slot(index);
    if (!s || s->state != sckOpen)
        return systemError(EINVAL);
    if (::listen(s->fd, SOMAXCONN) != 0)
        return systemError(errno);
    epoll_event event {};
    event.events = EPOLLIN;
    event.data.u64 = quint64(index);
    if (::epoll_ctl(m_epoll, EPOLL_CTL_ADD, s->fd, &event) != 0)
        return systemError(errno);
    s->state = sckListening;
    return {};
}

void SocketSlotArray::Close(int index)
{
    Slot* s = slot(index);
    if (!s)
        return;
    if (s->fd >= 0)
        ::close(s->fd);
    s->fd = -1;
    s->state = sckClosed;
}

SlotError SocketSlotArray::Load(int index)
{
    if (index < slotCount())
        return systemError(EEXIST);
    m_slots.resize(std::size_t(index) + 1);
    return {};
}

SlotError SocketSlotArray::Accept(int index, qint32 requestID)
{
    Slot* s = slot(index);
    if (!s || s->fd >= 0 || requestID < 0 || requestID != m_pendingRequest)
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
    epoll_event event {};
    event.events = EPOLLIN | EPOLLRDHUP;
    event.data.u64 = quint64(index);
    if (::epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &event) != 0) {
        const int error = errno;
        ::close(fd);
        return systemError(error);
    }
    s->fd = fd;
    s->remote = asIpv6(peer);
    s->state = sckConnected;
    return {};
}

// Each message is its own write, sent at once. What the kernel does not take
// now waits in the slot's output until the socket can take more.
SlotError SocketSlotArray::SendData(int index, const QString& text)
{
    Slot* s = slot(index);
    if (!s || s->state != sckConnected)
        return systemError(ENOTCONN);
    const QByteArray bytes = text.toLatin1();
    qsizetype sent = 0;
    if (s->outputSent == s->output.size()) {
        const ssize_t n = ::send(s->fd, bytes.constData(), std::size_t(bytes.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && !wouldBlock(errno) && errno != EINTR) {
            const int error = errno;
            dropConnection(index);
            return systemError(error);
        }
        sent = n > 0 ? n : 0;
        if (sent == bytes.size())
            return {};
    }
    s->output.append(bytes.constData() + sent, bytes.size() - sent);
    if (s->output.size() - s->outputSent > m_outputCap) {
        dropConnection(index);
        return systemError(ENOBUFS);
    }
    watchOutput(index, true);
    return {};
}

QString SocketSlotArray::GetData(int index)
{
    Slot* s = slot(index);
    if (!s)
        return {};
    const QString text = QString::fromLatin1(s->input);
    s->input.clear();
    return text;
}

int SocketSlotArray::State(int index) const
{
    const Slot* s = slot(index);
    return s ? s->state : sckClosed;
}

QString SocketSlotArray::RemoteHostIP(int index) const
{
    const Slot* s = slot(index);
    return s && s->remote.sin6_family == AF_INET6 ? addressText(s->remote) : QString();
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

void SocketSlotArray::DoEvents()
{
    if (m_yieldDepth >= maxYieldDepth)
        return;
    const QScopedValueRollback depth(m_yieldDepth, m_yieldDepth + 1);
    runReadySockets();
    QCoreApplication::processEvents();
}

// Handlers run from here may yield and so run this again, nested; the outer
// pass then finds some of its events already handled, which every step below
// notices by itself (nothing to accept, nothing to read, slot already gone).
void SocketSlotArray::runReadySockets()
{
    epoll_event events[readyEventsPerPass];
    const int ready = ::epoll_wait(m_epoll, events, readyEventsPerPass, 0);
    for (int i = 0; i < ready; ++i) {
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
    for (int n = 0; n < acceptsPerPass; ++n) {
        const Slot& listener = m_slots.front();
        if (listener.state != sckListening)
            return;
        const int fd = ::accept4(listener.fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
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
        const int fd = ::accept4(m_slots.front().fd, nullptr, nullptr, SOCK_CLOEXEC);
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
    const Slot& listener = m_slots.front();
    if (listener.state != sckListening)
        return;
    epoll_event event {};
    event.events = armed ? quint32(EPOLLIN) : 0u;
    event.data.u64 = 0;
    ::epoll_ctl(m_epoll, EPOLL_CTL_MOD, listener.fd, &event);
}

void SocketSlotArray::receive(int index)
{
    Slot* s = slot(index);
    if (!s || s->state != sckConnected)
        return;
    qsizetype received = 0;
    bool peerGone = false;
    while (received < maxReadPerPass) {
        const ssize_t n = ::recv(s->fd, m_readBuffer.data(), std::size_t(m_readBuffer.size()), 0);
        if (n > 0) {
            s->input.append(m_readBuffer.constData(), n);
            received += n;
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            // A reset or any other failed read counts as the peer closing.
            peerGone = n == 0 || !wouldBlock(errno);
            break;
        }
    }
    if (peerGone)
        release(index);
    if (received > 0)
        emit dataArrival(index, received);
    if (peerGone)
        emit peerClosed(index);
}

void SocketSlotArray::flushOutput(int index)
{
    Slot* s = slot(index);
    if (!s || s->state != sckConnected)
        return;
    while (s->outputSent < s->output.size()) {
        const ssize_t n = ::send(s->fd, s->output.constData() + s->outputSent,
            std::size_t(s->output.size() - s->outputSent), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            s->outputSent += n;
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && wouldBlock(errno)) {
            // Keep the buffer from holding on to what has gone out already.
            if (s->outputSent > s->output.size() / 2) {
                s->output.remove(0, s->outputSent);
                s->outputSent = 0;
            }
            return;
        } else {
            dropConnection(index);
            return;
        }
    }
    s->output.clear();
    s->outputSent = 0;
    watchOutput(index, false);
}

void SocketSlotArray::watchOutput(int index, bool watch)
{
    Slot* s = slot(index);
    if (!s || s->fd < 0 || s->watchingOutput == watch)
        return;
    epoll_event event {};
    event.events = EPOLLIN | EPOLLRDHUP | (watch ? quint32(EPOLLOUT) : 0u);
    event.data.u64 = quint64(index);
    if (::epoll_ctl(m_epoll, EPOLL_CTL_MOD, s->fd, &event) == 0)
        s->watchingOutput = watch;
}

// The slot keeps its number and its closing state for good, but its
// descriptor and unsent output are given back at once.
void SocketSlotArray::release(int index)
{
    Slot& s = m_slots[std::size_t(index)];
    ::close(s.fd);
    s.fd = -1;
    s.state = sckClosing;
    s.output = QByteArray();
    s.outputSent = 0;
    s.watchingOutput = false;
}

// A connection that failed while being written to, or that let its unsent
// output grow past the cap. Its close event is raised from the event loop,
// not from inside the send that found it.
void SocketSlotArray::dropConnection(int index)
{
    release(index);
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
