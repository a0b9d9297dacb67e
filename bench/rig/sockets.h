#pragma once

#include <netinet/in.h>

#include <string>

// Plain TCP on loopback, for the benchmarks' clients. Every wait is bounded.
namespace bench {

sockaddr_in loopback(int port);
// Client number `n` of a phase comes from an address of its own, 127.1.0.1
// and up: to the server each address is another machine.
in_addr_t clientAddress(int n);
std::string addressText(in_addr_t address);
// A connected, non-blocking client socket, from `from` where it is given;
// -1 where it cannot connect.
int connectTo(int port, in_addr_t from = 0);
// For phases of thousands of clients.
void raiseOpenFileLimit();

} // namespace bench
