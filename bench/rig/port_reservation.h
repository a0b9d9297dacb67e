#pragma once

namespace bench {

// A port the kernel handed out, kept bound (not listening) for as long as
// this lives, so that no other socket can take it: the server listens on it
// beside this socket, both allowing it with SO_REUSEADDR.
class PortReservation {
public:
    PortReservation();
    ~PortReservation();
    PortReservation(const PortReservation&) = delete;
    PortReservation& operator=(const PortReservation&) = delete;
    int port() const { return m_port; }

private:
    int m_fd;
    int m_port = 0;
};

} // namespace bench
