#pragma once

#include <vector>

#include <netinet/in.h>

// The IPv6 networks this host is on itself: the link-local one, and the
// prefixes of its interfaces' global and unique local addresses. They are
// read when the server starts listening, at most `maxPrefixes` of them, so
// that a lookup costs a bounded number of compares and never a system call.
class LocalNetworks {
public:
    struct Prefix {
        in6_addr address;
        int length;
    };
    static constexpr int maxPrefixes = 64;

    LocalNetworks() = default;
    explicit LocalNetworks(std::vector<Prefix> prefixes);
    // This host's networks as its interfaces have them now; none where they
    // cannot be read.
    static LocalNetworks ofThisHost();

    // Whether a peer at `address` is on one of these networks (an
    // IPv4-mapped address never is).
    bool contains(const in6_addr& address) const;

private:
    std::vector<Prefix> m_prefixes;
};
