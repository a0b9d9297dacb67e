#include "packet_drop.h"

#include "sockets.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace bench {

namespace {

bool isolated = false;

bool bringLoopbackUp()
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request {};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = fd >= 0 && ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags = short(request.ifr_flags | IFF_UP);
    up = up && ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    if (fd >= 0)
        ::close(fd);
    return up;
}

} // namespace

bool isolateNetwork()
{
    if (!isolated && ::unshare(CLONE_NEWNET) == 0) {
        require(bringLoopbackUp(), "bringing loopback up in the benchmark's network namespace");
        isolated = true;
    }
    return isolated;
}

bool canDropPackets()
{
    return isolated && std::system("iptables -w -L INPUT -n >/dev/null 2>&1") == 0;
}

DroppedPackets::DroppedPackets(in_addr_t address)
    : m_host(addressText(address))
    , m_dropping(isolated && rules("-I"))
{
}

DroppedPackets::~DroppedPackets()
{
    if (m_dropping)
        (void)rules("-D");
}

bool DroppedPackets::rules(const char* action) const
{
    const std::string command = std::string("iptables -w ") + action + " INPUT -s " + m_host
        + " -j DROP && iptables -w " + action + " INPUT -d " + m_host + " -j DROP";
    return std::system(command.c_str()) == 0;
}

} // namespace bench
