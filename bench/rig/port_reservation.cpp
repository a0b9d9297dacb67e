#include "port_reservation.h"

#include "sockets.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

namespace bench {

PortReservation::PortReservation()
    : m_fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
{
    const int on = 1;
    ::setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address = loopback(0);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    socklen_t length = sizeof address;
    if (::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0
        && ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        m_port = ntohs(address.sin_port);
}

PortReservation::~PortReservation()
{
    ::close(m_fd);
}

} // namespace bench
