#pragma once

#include <QString>

#include <netinet/in.h>
#include <sys/socket.h>

// Addresses as the slot array keeps and shows them: every peer as IPv6, an
// IPv4 peer as an IPv4-mapped address.
sockaddr_in6 asIpv6(const sockaddr_storage& address);
// Dotted decimal for an IPv4 peer, IPv6 text otherwise.
QString addressText(const sockaddr_in6& address);
// The host's first non-loopback IPv4 address, or 127.0.0.1 where it has none.
QString localIpv4();
