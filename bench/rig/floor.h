#pragma once

#include <string_view>

namespace bench {

// The floor: one bare non-blocking send() of the message per delivery, no
// epoll, over `clients` connected loopback sockets whose other ends a thread
// reads as they fill, as real clients do; in microseconds of the sender's
// time per send. The reader polls without sleeping, as the client pool does,
// so that the sends do not pay for waking it.
double floorMicroseconds(int clients, std::string_view message, long long sends);

} // namespace bench
