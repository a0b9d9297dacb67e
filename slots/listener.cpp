#include "listener.h"

#include "socket_address.h"

#include <QScopedValueRollback>
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
    const int error = errno;
    ::close(fd);
    errno = error;
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

Listener::Listener(
    EpollWatches& watches, AddressLedger& ledger, int connectionsPerAddress, Admit admit)
    : m_watches(watches)
    , m_ledger(ledger)
    , m_connectionsPerAddress(connectionsPerAddress)
    , m_admit(std::move(admit))
    , m_spareFd(openSpareDescriptor())
{
}

Listener::~Listener()
{
    if (m_offered)
        ::close(m_offered->fd);
    close();
    for (const int fd : { m_spareFd, m_handed.fd }) {
        if (fd >= 0)
            ::close(fd);
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
    return {};
}

void Listener::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_watched = 0;
    m_state = SlotArray::sckClosed;
    discardWaiting();
}

void Listener::discardWaiting()
{
    for (const Arrival& arrival : std::exchange(m_waiting, {})) {
        --arrival.account->waiting;
        discard(arrival);
    }
}

void Listener::discard(const Arrival& arrival)
{
    ::close(arrival.fd);
    m_ledger.release(*arrival.account, AddressLedger::Clock::now());
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
        ::close(fd);
        return;
    }
    arrive(fd, remote, Greeting::Later);
}

void Listener::arrive(int fd, const sockaddr_in6& remote, Greeting greeting)
{
    if (!admitted(remote)) {
        ::close(fd);
        return;
    }
    const auto now = AddressLedger::Clock::now();
    AddressLedger::Account& account = m_ledger.hold(remote.sin6_addr, now);
    const Arrival arrival { fd, remote, &account };
    if (account.open + account.waiting >= m_connectionsPerAddress) {
        discard(arrival);
    } else if (greeting == Greeting::WhenDue && account.waiting == 0
        && m_ledger.mayRead(account, now)) {
        offer(arrival);
    } else {
        ++account.waiting;
        m_waiting.push_back(arrival);
    }
}

bool Listener::admitted(const sockaddr_in6& remote)
{
    return !m_rules || m_rules->admit(addressOf(remote));
}

// A request is valid only while its event is being handled: one not taken
// into a slot by then is closed.
void Listener::offer(const Arrival& arrival)
{
    if (m_offered)
        discard(*std::exchange(m_offered, std::nullopt));
    m_offered = arrival;
    m_admit(arrival);
    if (m_offered && m_offered->fd == arrival.fd)
        discard(*std::exchange(m_offered, std::nullopt));
}

std::optional<Arrival> Listener::take(qint32 requestID)
{
    if (!m_offered || m_offered->fd != requestID)
        return std::nullopt;
    return std::exchange(m_offered, std::nullopt);
}

void Listener::admitWaiting()
{
    // A greeting yields; a pass run meanwhile would greet out of order.
    if (m_admitting)
        return;
    const QScopedValueRollback admitting(m_admitting, true);
    const auto now = AddressLedger::Clock::now();
    const std::deque<Arrival> queue = std::exchange(m_waiting, {});
    std::deque<Arrival> kept;
    std::vector<const AddressLedger::Account*> heldBack;
    for (const Arrival& arrival : queue) {
        AddressLedger::Account& account = *arrival.account;
        // A greeting yields, and a stop meanwhile closes the rest.
        if (m_state != SlotArray::sckListening) {
            kept.push_back(arrival);
            continue;
        }
        if (std::find(heldBack.begin(), heldBack.end(), &account) == heldBack.end()
            && m_ledger.mayRead(account, now)) {
            --account.waiting;
            // A ban made while it waited holds for it too.
            if (!m_rules || m_rules->permits(addressOf(arrival.remote)))
                offer(arrival);
            else
                discard(arrival);
        } else {
            heldBack.push_back(&account);
            kept.push_back(arrival);
        }
    }
    // Those that arrived during the pass come after those held back.
    kept.insert(kept.end(), m_waiting.begin(), m_waiting.end());
    m_waiting = std::move(kept);
    if (m_state != SlotArray::sckListening)
        discardWaiting();
}

// Out of descriptors, a waiting connection keeps the listener ready, and the
// loop would spin. The spare descriptor is given up to take that connection
// and drop it; if even that is not possible, listening pauses for a moment.
// Returns whether accepting may go on now.
bool Listener::acceptWithoutDescriptors()
{
    if (m_spareFd >= 0) {
        ::close(m_spareFd);
        const int fd = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0)
            ::close(fd);
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
