#include "socket_address.h"

#include <cstring>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>

sockaddr_in6 asIpv6(const sockaddr_storage& address)
{
    if (address.ss_family == AF_INET6)
        return reinterpret_cast<const sockaddr_in6&>(address);
    sockaddr_in6 mapped {};
    mapped.sin6_family = AF_INET6;
    if (address.ss_family == AF_INET) {
        const auto& ipv4 = reinterpret_cast<const sockaddr_in&>(address);
        mapped.sin6_port = ipv4.sin_port;
        mapped.sin6_addr.s6_addr[10] = 0xff;
        mapped.sin6_addr.s6_addr[11] = 0xff;
        std::memcpy(&mapped.sin6_addr.s6_addr[12], &ipv4.sin_addr, sizeof ipv4.sin_addr);
    }
    return mapped;
}

QString addressText(const sockaddr_in6& address)
{
    char text[INET6_ADDRSTRLEN] = {};
    if (IN6_IS_ADDR_V4MAPPED(&address.sin6_addr))
        inet_ntop(AF_INET, &address.sin6_addr.s6_addr[12], text, sizeof text);
    else
        inet_ntop(AF_INET6, &address.sin6_addr, text, sizeof text);
    return QString::fromLatin1(text);
}

QString localIpv4()
{
    QString address = QStringLiteral("127.0.0.1");
    ifaddrs* interfaces = nullptr;
    if (::getifaddrs(&interfaces) != 0)
        return address;
    for (const ifaddrs* i = interfaces; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !(i->ifa_flags & IFF_UP)
            || (i->ifa_flags & IFF_LOOPBACK))
            continue;
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr, text,
            sizeof text);
        address = QString::fromLatin1(text);
        break;
    }
    ::freeifaddrs(interfaces);
    return address;
}
