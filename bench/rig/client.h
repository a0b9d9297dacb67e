#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <netinet/in.h>

namespace bench {

// One client of a phase: a non-blocking connection from an address of its
// own that writes what it is given as fast as the connection takes it, and
// reads what arrives, keeping only the last few kilobytes and looking for a
// marker as it goes. The phase reads it, or, given an epoll descriptor, reads
// it when that reports it ready (the event's pointer is the client).
class Client {
public:
    // A `receiveBuffer` of 0 leaves the kernel's default.
    Client(int port, in_addr_t from, int epoll = -1, int receiveBuffer = 0);
    virtual ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool isOpen() const { return m_fd >= 0 && !m_gone; }
    bool gone() const { return m_gone; }
    // Whether neither side has closed the connection yet, read or not.
    bool established() const;
    // The last few kilobytes received.
    const std::string& received() const { return m_received; }
    bool greeted() const { return m_received.find("NICK") != std::string::npos; }
    bool flushed() const { return m_unsent.empty(); }

    // Queues the bytes, and sends what the connection takes now.
    void write(std::string_view bytes);
    void flush();
    // Sends what the connection takes now, and no more; returns how much.
    size_t sendSome(std::string_view bytes);
    // Reads all that has arrived, or `limit` bytes of it; true once the
    // watched marker has come.
    bool readAll(size_t limit = SIZE_MAX);
    void watch(std::string marker);
    // Whether the watched marker has come, however much came after it.
    bool seen() const { return m_seen; }
    // Joins under `name` and waits for the join's roster to come back.
    bool join(const std::string& name, double limitSeconds);
    void close(bool reset = false);

protected:
    // A connection made elsewhere, connected and non-blocking (-1: none).
    struct Connected {
        int fd;
    };
    Client(Connected connection, int epoll);

    virtual void onData(std::string_view bytes);

private:
    int m_fd;
    bool m_gone = false;
    std::string m_unsent;
    std::string m_received;
    std::string m_marker;
    std::string m_carry;
    bool m_seen = false;
};

} // namespace bench
