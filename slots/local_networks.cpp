#include "local_networks.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <utility>

#include <ifaddrs.h>
#include <net/if.h>

namespace {

bool within(const in6_addr& address, const LocalNetworks::Prefix& prefix)
{
    for (int byte = 0, bits = prefix.length; bits > 0; ++byte, bits -= 8) {
        const auto mask = std::uint8_t(0xff << (8 - std::min(bits, 8)));
        if ((address.s6_addr[byte] ^ prefix.address.s6_addr[byte]) & mask)
            return false;
    }
    return true;
}

int prefixLength(const sockaddr_in6& netmask)
{
    int length = 0;
    for (const std::uint8_t byte : netmask.sin6_addr.s6_addr)
        length += std::popcount(byte);
    return length;
}

} // namespace

LocalNetworks::LocalNetworks(std::vector<Prefix> prefixes)
    : m_prefixes(std::move(prefixes))
{
    if (m_prefixes.size() > size_t(maxPrefixes))
        m_prefixes.resize(size_t(maxPrefixes));
}

LocalNetworks LocalNetworks::ofThisHost()
{
    ifaddrs* interfaces = nullptr;
    if (::getifaddrs(&interfaces) != 0)
        return {};
    std::vector<Prefix> prefixes;
    for (const ifaddrs* i = interfaces; i && prefixes.size() < size_t(maxPrefixes);
         i = i->ifa_next) {
        if (!i->ifa_addr || !i->ifa_netmask || i->ifa_addr->sa_family != AF_INET6
            || !(i->ifa_flags & IFF_UP))
            continue;
        const auto& address = reinterpret_cast<const sockaddr_in6*>(i->ifa_addr)->sin6_addr;
        if (!IN6_IS_ADDR_LINKLOCAL(&address))
            prefixes.push_back(
                { address, prefixLength(*reinterpret_cast<const sockaddr_in6*>(i->ifa_netmask)) });
    }
    ::freeifaddrs(interfaces);
    return LocalNetworks(std::move(prefixes));
}

bool LocalNetworks::contains(const in6_addr& address) const
{
    if (IN6_IS_ADDR_V4MAPPED(&address))
        return false;
    return IN6_IS_ADDR_LINKLOCAL(&address)
        || std::ranges::any_of(
            m_prefixes, [&](const Prefix& prefix) { return within(address, prefix); });
}
