#pragma once

#include <string>

#include <netinet/in.h>

// Peers that vanish without a FIN or RST, as a pulled cable makes them: a
// firewall rule drops every packet to and from their address. The rules
// live in a network namespace of the benchmark's own, so that the machine's
// firewall and loopback are never touched.
namespace bench {

// Moves this process, and the servers it starts from now on, into a network
// namespace of its own with loopback up; false where it cannot (not root),
// and then nothing has changed.
bool isolateNetwork();
// Whether packets to and from `address` can be dropped: the network is
// isolated and iptables is there.
bool canDropPackets();
// Drops every packet to and from an address while it lives, where packets
// can be dropped; nothing where they cannot.
class DroppedPackets {
public:
    explicit DroppedPackets(in_addr_t address);
    ~DroppedPackets();
    DroppedPackets(const DroppedPackets&) = delete;
    DroppedPackets& operator=(const DroppedPackets&) = delete;

private:
    bool rules(const char* action) const;

    std::string m_host;
    bool m_dropping;
};

} // namespace bench
