#pragma once

#include "client.h"
#include "clock.h"
#include "web_socket_client.h"

#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include <netinet/in.h>

namespace bench {

// The server's chat port and its web port.
struct Ports {
    int chat;
    int web;
};

// One kind of hostile behaviour, driven by the phase's loop every
// millisecond or so; each instance comes from an address of its own.
class Hostile {
public:
    Hostile(Ports ports, int epoll, in_addr_t from)
        : m_ports(ports)
        , m_epoll(epoll)
        , m_from(from)
    {
    }
    virtual ~Hostile() = default;
    virtual void tick() = 0;
    // A client that reads, cut off by the server.
    virtual bool readerCutOff() const { return false; }
    // What became of it, where the row should say.
    virtual std::string outcome() const { return {}; }

protected:
    // One that reads is read by the phase's loop as soon as anything arrives.
    std::unique_ptr<Client> connect(bool reads = true) const
    {
        return std::make_unique<Client>(m_ports.chat, m_from, reads ? m_epoll : -1);
    }
    // Connects and sends its nickname at once, ahead of the greeting.
    std::unique_ptr<Client> joinAs(const std::string& nickname, bool reads = true) const
    {
        std::unique_ptr<Client> client = connect(reads);
        client->write("USER:" + nickname);
        return client;
    }
    std::unique_ptr<Client> connectSmall(int receiveBuffer) const
    {
        return std::make_unique<Client>(m_ports.chat, m_from, -1, receiveBuffer);
    }
    std::unique_ptr<WebSocketClient> connectWeb(bool reads = true) const
    {
        return std::make_unique<WebSocketClient>(m_ports.web, m_from, reads ? m_epoll : -1);
    }
    in_addr_t from() const { return m_from; }
    // True every `seconds`, the first time at once.
    bool due(double seconds)
    {
        if (m_last != Clock::time_point() && secondsSince(m_last) < seconds)
            return false;
        m_last = Clock::now();
        return true;
    }

private:
    Ports m_ports;
    int m_epoll;
    in_addr_t m_from;
    Clock::time_point m_last;
};

using Hostiles = std::vector<std::unique_ptr<Hostile>>;

// A kind of hostile client, and how to add its clients to the phase's.
struct HostileKind {
    const char* name;
    std::function<void(Hostiles&, Ports ports, int epoll)> add;
};

// Every kind, "nobody" first.
std::span<const HostileKind> hostileKinds();
// The address of the hostile client numbered `n`, apart from the ordinary
// clients' addresses.
in_addr_t hostileAddress(size_t n);
// The address the server under test is started with a ban on.
in_addr_t bannedAddress();

} // namespace bench
