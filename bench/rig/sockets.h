#pragma once

#include <netinet/in.h>

#include <string>
#include <vector>

// Plain TCP on loopback, for the benchmarks' clients. Every wait is bounded.
namespace bench {

sockaddr_in loopback(int port);
// Client number `n` of a phase comes from an address of its own, 127.1.0.1
// and up: to the server each address is another machine.
in_addr_t clientAddress(int n);
std::string addressText(in_addr_t address);
// A connected, non-blocking client socket, from `from` where it is given;
// -1 where it cannot connect.
int connectTo(int port, in_addr_t from = 0, int receiveBuffer = 0);
// Reads what each socket has until every one has sent `marker`, discarding
// it; false past the limit or when one closes.
bool waitForAll(const std::vector<int>& fds, const char* marker, double limitSeconds);
// For phases of thousands of clients.
void raiseOpenFileLimit();
// Ends the benchmark, with errno's text, where `done` is false: a rig that
// could not be set up would measure something else.
void require(bool done, const char* what);

} // namespace bench
