#include "sockets.h"

#include "clock.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace bench {

sockaddr_in loopback(int port)
{
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(uint16_t(port));
    return address;
}

in_addr_t clientAddress(int n)
{
    return htonl((127u << 24 | 1u << 16) + uint32_t(n) + 1);
}

std::string addressText(in_addr_t address)
{
    char text[INET_ADDRSTRLEN] = "";
    ::inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

int connectTo(int port, in_addr_t from, int receiveBuffer)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && receiveBuffer > 0)
        require(::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer) == 0,
            "setsockopt");
    sockaddr_in local = loopback(0);
    local.sin_addr.s_addr = from;
    const sockaddr_in address = loopback(port);
    if (fd < 0
        || (from != 0 && ::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0)
        || ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    const int on = 1;
    require(::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0, "setsockopt");
    require(::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK) == 0, "fcntl");
    return fd;
}

bool waitForAll(const std::vector<int>& fds, const char* marker, double limitSeconds)
{
    std::vector<std::string> answers(fds.size());
    size_t done = 0;
    std::vector<bool> seen(fds.size());
    const auto start = Clock::now();
    while (done < fds.size()) {
        if (secondsSince(start) > limitSeconds)
            return false;
        for (size_t i = 0; i < fds.size(); ++i) {
            char buffer[65536];
            const ssize_t n = ::recv(fds[i], buffer, sizeof buffer, MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK))
                return false;
            if (n < 0 || seen[i])
                continue;
            // Only the tail may hold a marker cut in two.
            answers[i].append(buffer, size_t(n));
            if (answers[i].find(marker) != std::string::npos) {
                seen[i] = true;
                ++done;
            } else if (answers[i].size() > 64) {
                answers[i].erase(0, answers[i].size() - 64);
            }
        }
    }
    return true;
}

void raiseOpenFileLimit()
{
    rlimit limit {};
    require(::getrlimit(RLIMIT_NOFILE, &limit) == 0, "getrlimit");
    limit.rlim_cur = limit.rlim_max;
    require(::setrlimit(RLIMIT_NOFILE, &limit) == 0, "setrlimit");
}

void require(bool done, const char* what)
{
    if (done)
        return;
    std::fprintf(stderr, "%s: %s\n", what, std::strerror(errno));
    std::exit(EXIT_FAILURE);
}

} // namespace bench
