#include "client.h"

#include <cstdio>

#include "clock.h"
#include "sockets.h"

#include <algorithm>
#include <cerrno>

#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace bench {

namespace {

constexpr size_t keptBytes = 4096;

} // namespace

Client::Client(int port, in_addr_t from, int epoll, int receiveBuffer)
    : Client(Connected { connectTo(port, from, receiveBuffer) }, epoll)
{
}

Client::Client(Connected connection, int epoll)
    : m_fd(connection.fd)
{
    if (m_fd >= 0 && epoll >= 0) {
        epoll_event event {};
        event.events = EPOLLIN;
        event.data.ptr = this;
        ::epoll_ctl(epoll, EPOLL_CTL_ADD, m_fd, &event);
    }
}

Client::~Client()
{
    close();
}

bool Client::established() const
{
    tcp_info info {};
    socklen_t size = sizeof info;
    return m_fd >= 0 && ::getsockopt(m_fd, IPPROTO_TCP, TCP_INFO, &info, &size) == 0
        && info.tcpi_state == TCP_ESTABLISHED;
}

void Client::write(std::string_view bytes)
{
    m_unsent.append(bytes);
    flush();
}

void Client::flush()
{
    while (!m_unsent.empty() && isOpen()) {
        const size_t n = sendSome(m_unsent);
        if (n == 0)
            return;
        m_unsent.erase(0, n);
    }
}

size_t Client::sendSome(std::string_view bytes)
{
    const ssize_t n = ::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    return n > 0 ? size_t(n) : 0;
}

bool Client::readAll(size_t limit)
{
    char buffer[64 * 1024];
    for (size_t read = 0; read < limit;) {
        const ssize_t n = ::recv(m_fd, buffer, std::min(sizeof buffer, limit - read), MSG_DONTWAIT);
        if (n > 0) {
            onData(std::string_view(buffer, size_t(n)));
            read += size_t(n);
            continue;
        }
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
            m_gone = true;
        break;
    }
    return m_seen;
}

void Client::onData(std::string_view bytes)
{
    m_received.append(bytes);
    if (m_received.size() > keptBytes)
        m_received.erase(0, m_received.size() - keptBytes);
    if (!m_marker.empty() && !m_seen) {
        m_carry.append(bytes);
        m_seen = m_carry.find(m_marker) != std::string::npos;
        m_carry.erase(0, m_carry.size() - std::min(m_carry.size(), m_marker.size()));
    }
}

void Client::watch(std::string marker)
{
    m_marker = std::move(marker);
    m_carry.clear();
    m_seen = false;
}

bool Client::join(const std::string& name, double limitSeconds)
{
    watch("USER:" + name);
    write("USER:" + name);
    const auto start = Clock::now();
    while (!readAll()) {
        if (secondsSince(start) > limitSeconds || gone())
            return false;
    }
    return true;
}

void Client::close(bool reset)
{
    if (m_fd < 0)
        return;
    if (reset) {
        const linger abortive { 1, 0 };
        ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    }
    ::close(m_fd);
    m_fd = -1;
}

} // namespace bench
