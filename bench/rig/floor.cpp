#include "floor.h"

#include "clock.h"
#include "sockets.h"

#include <atomic>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace bench {

double floorMicroseconds(int clients, std::string_view message, long long sends)
{
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    require(listener >= 0
            && ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0
            && ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) == 0
            && ::listen(listener, 4096) == 0,
        "the floor's listener");
    const int readerEpoll = ::epoll_create1(0);
    require(readerEpoll >= 0, "epoll_create1");
    std::vector<int> readers, writers;
    for (int i = 0; i < clients; ++i) {
        readers.push_back(connectTo(ntohs(address.sin_port)));
        require(readers.back() >= 0, "connect");
        epoll_event readable {};
        readable.events = EPOLLIN;
        readable.data.fd = readers.back();
        require(
            ::epoll_ctl(readerEpoll, EPOLL_CTL_ADD, readers.back(), &readable) == 0, "epoll_ctl");
        const int fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK);
        const int on = 1;
        require(
            fd >= 0 && ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0, "accept4");
        writers.push_back(fd);
    }
    std::atomic<bool> stop = false;
    std::thread reader([&] {
        char drain[65536];
        epoll_event ready[256];
        while (!stop) {
            const int n = ::epoll_wait(readerEpoll, ready, 256, 0);
            for (int e = 0; e < n; ++e) {
                while (::recv(ready[e].data.fd, drain, sizeof drain, MSG_DONTWAIT) > 0) { }
            }
        }
    });
    const auto start = Clock::now();
    for (long long done = 0; done < sends;) {
        // What the kernel does not take is dropped: the floor is the cost of
        // the call, not of the delivery.
        for (int i = 0; i < clients && done < sends; ++i, ++done)
            (void)::send(
                writers[size_t(i)], message.data(), message.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    }
    const double seconds = secondsSince(start);
    stop = true;
    reader.join();
    for (const int fd : readers)
        ::close(fd);
    for (const int fd : writers)
        ::close(fd);
    ::close(readerEpoll);
    ::close(listener);
    return seconds * 1e6 / double(sends);
}

} // namespace bench
