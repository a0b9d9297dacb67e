#include "ordinary_client.h"

#include <sys/epoll.h>

namespace bench {

bool pumpUntil(int epoll, double seconds, const std::function<bool()>& done)
{
    const auto start = Clock::now();
    while (!done()) {
        if (secondsSince(start) > seconds)
            return false;
        epoll_event events[256];
        const int ready = ::epoll_wait(epoll, events, 256, 1);
        for (int e = 0; e < ready; ++e)
            static_cast<Client*>(events[e].data.ptr)->readAll();
    }
    return true;
}

} // namespace bench
