#include "listener.h"

#include "socket_address.h"

#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int acceptsPerPass = 64;
constexpr auto descriptorRetry = std::chrono::milliseconds(100);

int openSpareDescriptor()
{
    return ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

// A socket bound to `address`, that a stop and a new start may bind again
// while connections accepted on it are still open; -1, with errno, where not.
int boundSocket(int family, const sockaddr* address, socklen_t length)
{
    const int on = 1;
    const int off = 0;
    const int fd = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if ((family != AF_INET6 || ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) == 0)
        && ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0
        && ::bind(fd, address, length) == 0)
        return fd;
    closeDescriptor(fd);
    return -1;
}

// A dual-stack listener where the host has IPv6, plain IPv4 otherwise.
int listeningSocket(quint16 port)
{
    sockaddr_in6 any6 {};
    any6.sin6_family = AF_INET6;
    any6.sin6_addr = in6addr_any;
    any6.sin6_port = htons(port);
    const int fd = boundSocket(AF_INET6, reinterpret_cast<const sockaddr*>(&any6), sizeof any6);
    if (fd >= 0 || (errno != EAFNOSUPPORT && errno != EADDRNOTAVAIL && errno != ENOPROTOOPT))
        return fd;
    sockaddr_in any4 {};
    any4.sin_family = AF_INET;
    any4.sin_addr.s_addr = htonl(INADDR_ANY);
    any4.sin_port = htons(port);
    return boundSocket(AF_INET, reinterpret_cast<const sockaddr*>(&any4), sizeof any4);
}

Network::Address addressOf(const sockaddr_in6& remote)
{
    Network::Address address;
    std::memcpy(address.data(), &remote.sin6_addr, address.size());
    return address;
}

} // namespace

Listener::Listener(EpollWatches& watches, AddressLedger& ledger, GreetingQueue& greetings,
    int connectionsPerAddress)
    : m_watches(watches)
    , m_ledger(ledger)
    , m_greetings(greetings)
    , m_connectionsPerAddress(connectionsPerAddress)
    , m_spareFd(openSpareDescriptor())
{
}

Listener::~Listener()
{
    close();
    for (const int fd : { m_spareFd, m_handed.fd }) {
        if (fd >= 0)
            closeDescriptor(fd);
    }
}

Failure Listener::bind(quint16 port)
{
    if (m_fd >= 0)
        return systemError(EINVAL);
    const bool handed = m_handed.fd >= 0 && port == m_handed.port;
    const int fd = handed ? std::exchange(m_handed, {}).fd : listeningSocket(port);
    if (fd < 0)
        return systemError(errno);
    m_fd = fd;
    m_state = SlotArray::sckOpen;
    return {};
}

Failure Listener::listen()
{
    if (m_state != SlotArray::sckOpen)
        return systemError(EINVAL);
    if (::listen(m_fd, SOMAXCONN) != 0)
        return systemError(errno);
    if (Failure failure = m_watches.watch(m_fd, 0, m_watched, EPOLLIN))
        return failure;
    m_state = SlotArray::sckListening;
    m_greetings.open();
    return {};
}

void Listener::close()
{
    if (m_fd >= 0)
        closeDescriptor(m_fd);
    m_fd = -1;
    m_watched = 0;
    m_state = SlotArray::sckClosed;
    m_greetings.close();
}

// A connection the rules refuse, or past its address's cap, is closed before
// its greeting, costing the others nothing; a refused one is not even given
// an account. Those of an address that is over its budget, or that
// has connections waiting already (so that they are greeted in order), wait.
void Listener::acceptReady()
{
    for (int n = 0; n < acceptsPerPass && m_state == SlotArray::sckListening; ++n) {
        sockaddr_storage peer {};
        socklen_t length = sizeof peer;
        const int fd = ::accept4(
            m_fd, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            if ((errno == EMFILE || errno == ENFILE) && acceptWithoutDescriptors())
                continue;
            return;
        }
        arrive(fd, asIpv6(peer), Greeting::WhenDue);
    }
}

// Offered from outside the loop's pass, a connection could be greeted inside
// another client's handler; it waits instead, to be greeted by the loop.
void Listener::admitConnection(int fd, const sockaddr_in6& remote)
{
    if (m_state != SlotArray::sckListening) {
        closeDescriptor(fd);
        return;
    }
    arrive(fd, remote, Greeting::Later);
}

void Listener::arrive(int fd, const sockaddr_in6& remote, Greeting greeting)
{
    if (!admitted(remote)) {
        closeDescriptor(fd);
        return;
    }
    AddressLedger::Account& account = m_ledger.hold(remote.sin6_addr, AddressLedger::Clock::now());
    const Arrival arrival { fd, remote, &account };
    if (account.open() + account.waiting() >= m_connectionsPerAddress)
        m_greetings.discard(arrival);
    else
        m_greetings.greetOrWait(arrival, greeting == Greeting::WhenDue);
}

bool Listener::admitted(const sockaddr_in6& remote)
{
    return !m_rules || m_rules->admit(addressOf(remote));
}

// Out of descriptors, a waiting connection keeps the listener ready, and the
// loop would spin. The spare descriptor is given up to take that connection
// and drop it; if even that is not possible, listening pauses for a moment.
// Returns whether accepting may go on now.
bool Listener::acceptWithoutDescriptors()
{
    if (m_spareFd >= 0) {
        closeDescriptor(m_spareFd);
        const int fd = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0)
            closeDescriptor(fd);
        m_spareFd = openSpareDescriptor();
        return true;
    }
    m_spareFd = openSpareDescriptor();
    if (m_spareFd >= 0)
        return true;
    setArmed(false);
    return false;
}

// Unarmed, epoll does not report the listener until it is armed again a
// moment later. Where epoll refuses to arm it, it is asked again a moment
// later, as where descriptors are short: a listener left unarmed would
// accept nothing for good. One left armed is only reported again.
void Listener::setArmed(bool armed)
{
    if (m_state != SlotArray::sckListening)
        return;
    const bool changed = !m_watches.watch(m_fd, 0, m_watched, armed ? quint32(EPOLLIN) : 0u);
    const bool unarmed = armed ? !changed : changed;
    if (unarmed)
        QTimer::singleShot(descriptorRetry, this, [this] { setArmed(true); });
}
