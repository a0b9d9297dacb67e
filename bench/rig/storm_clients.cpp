#include "storm_clients.h"

#include "clock.h"
#include "sockets.h"

#include <algorithm>
#include <cerrno>
#include <iterator>

#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace bench {

StormClients::StormClients(int clients, const Readers& readers)
    : m_members(size_t(clients))
    , m_epoll(::epoll_create1(EPOLL_CLOEXEC))
{
    require(m_epoll >= 0, "epoll_create1");
    for (int i = 0; i < clients; ++i)
        m_members[size_t(i)].reader = readers(i, clients);
}

StormClients::~StormClients()
{
    for (const Member& member : m_members) {
        if (member.fd >= 0)
            ::close(member.fd);
    }
    ::close(m_epoll);
}

StormClients::Result StormClients::run(int port, double limitSeconds)
{
    const auto start = Clock::now();
    for (size_t i = 0; i < m_members.size(); ++i)
        connect(m_members[i], int(i), port);
    const int everyone = int(m_members.size());
    epoll_event events[256];
    while (m_result.holding < everyone && m_open > 0 && secondsSince(start) < limitSeconds) {
        const int ready = ::epoll_wait(m_epoll, events, int(std::size(events)), 10);
        for (int e = 0; e < ready; ++e) {
            Member& member = m_members[events[e].data.u32];
            if (member.fd >= 0 && !member.connected)
                finishConnecting(member);
            if (member.fd >= 0 && member.connected)
                receive(member);
        }
    }
    m_result.seconds = secondsSince(start);
    m_result.unanswered = int(std::count_if(m_members.begin(), m_members.end(),
        [](const Member& member) { return member.fd >= 0 && !member.answered; }));
    m_result.finished = m_result.holding == everyone;
    return m_result;
}

// Non-blocking, so that every client's SYN is out before the first answer.
void StormClients::connect(Member& member, int client, int port)
{
    member.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    require(member.fd >= 0, "socket");
    ++m_open;
    const int on = 1;
    require(::setsockopt(member.fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0, "setsockopt");
    sockaddr_in local = loopback(0);
    local.sin_addr.s_addr = clientAddress(client);
    require(
        ::bind(member.fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0, "bind");
    const sockaddr_in server = loopback(port);
    if (::connect(member.fd, reinterpret_cast<const sockaddr*>(&server), sizeof server) != 0
        && errno != EINPROGRESS) {
        cutOff(member);
        return;
    }
    epoll_event event {};
    event.events = EPOLLIN | EPOLLOUT;
    event.data.u32 = uint32_t(client);
    require(::epoll_ctl(m_epoll, EPOLL_CTL_ADD, member.fd, &event) == 0, "epoll_ctl");
}

void StormClients::finishConnecting(Member& member)
{
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(member.fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
        cutOff(member);
        return;
    }
    // Writable until its connection completes; from then on only its input counts.
    epoll_event event {};
    event.events = EPOLLIN;
    event.data.u32 = uint32_t(&member - m_members.data());
    require(::epoll_ctl(m_epoll, EPOLL_CTL_MOD, member.fd, &event) == 0, "epoll_ctl");
    member.connected = true;
    send(member, member.reader->connected());
}

void StormClients::receive(Member& member)
{
    char buffer[64 * 1024];
    const ssize_t n = ::recv(member.fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return;
    if (n <= 0) {
        cutOff(member);
        return;
    }
    m_result.bytes += n;
    member.answered = true;
    const bool held = member.reader->holdsFullRoster();
    const std::string answer = member.reader->read(std::string_view(buffer, size_t(n)));
    m_result.holding += int(member.reader->holdsFullRoster()) - int(held);
    send(member, answer);
}

// A login or a join is a few bytes, which a connection's empty send buffer
// takes at once; one it does not take was refused.
void StormClients::send(Member& member, const std::string& bytes)
{
    if (!bytes.empty()
        && ::send(member.fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) != ssize_t(bytes.size()))
        cutOff(member);
}

void StormClients::cutOff(Member& member)
{
    if (member.reader->holdsFullRoster())
        --m_result.holding;
    ::close(member.fd);
    member.fd = -1;
    --m_open;
    ++m_result.cutOff;
}

} // namespace bench
