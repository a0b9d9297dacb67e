#include "network.h"

#include <cstring>

#include <arpa/inet.h>

namespace {

constexpr int ipv4Bits = 32;
constexpr int ipv6Bits = 128;
constexpr int mappingBits = ipv6Bits - ipv4Bits;
constexpr int ipv4Neighbourhood = 24;
constexpr int ipv6Neighbourhood = 64;

bool isMapped(const Network::Address& address)
{
    for (int i = 0; i < 10; ++i) {
        if (address[i] != 0)
            return false;
    }
    return address[10] == 0xff && address[11] == 0xff;
}

// The address with every bit past the prefix cleared.
Network::Address masked(Network::Address address, int prefix)
{
    for (int bit = prefix; bit < ipv6Bits; ++bit)
        address[bit / 8] &= static_cast<unsigned char>(~(0x80 >> (bit % 8)));
    return address;
}

} // namespace

Network::Network(const Address& address, int prefix)
    : m_address(masked(address, prefix))
    , m_prefix(prefix)
{
}

std::optional<Network::Address> Network::parseAddress(QStringView text)
{
    const QByteArray bytes = text.toLatin1();
    Address address {};
    in_addr ipv4 {};
    if (::inet_pton(AF_INET, bytes.constData(), &ipv4) == 1) {
        address[10] = address[11] = 0xff;
        std::memcpy(&address[12], &ipv4, sizeof ipv4);
        return address;
    }
    if (::inet_pton(AF_INET6, bytes.constData(), address.data()) == 1)
        return address;
    return std::nullopt;
}

std::optional<Network> Network::parse(QStringView text)
{
    const qsizetype slash = text.indexOf(u'/');
    const std::optional<Address> address = parseAddress(text.left(slash));
    if (!address)
        return std::nullopt;
    const int offset = isMapped(*address) ? mappingBits : 0;
    if (slash < 0)
        return Network(*address, ipv6Bits);
    const QStringView length = text.mid(slash + 1);
    bool isNumber = false;
    const int prefix = length.toInt(&isNumber);
    if (!isNumber || length.isEmpty() || !length.front().isDigit() || prefix > ipv6Bits - offset)
        return std::nullopt;
    return Network(*address, prefix + offset);
}

std::optional<Network> Network::around(QStringView address, Scope scope)
{
    const std::optional<Address> parsed = parseAddress(address);
    if (!parsed)
        return std::nullopt;
    if (scope == Scope::Address)
        return Network(*parsed, ipv6Bits);
    return Network(
        *parsed, isMapped(*parsed) ? mappingBits + ipv4Neighbourhood : ipv6Neighbourhood);
}

bool Network::contains(const Address& address) const
{
    return masked(address, m_prefix) == m_address;
}

QString Network::text() const
{
    char text[INET6_ADDRSTRLEN] = {};
    const bool ipv4 = isMapped(m_address) && m_prefix >= mappingBits;
    if (ipv4)
        ::inet_ntop(AF_INET, &m_address[12], text, sizeof text);
    else
        ::inet_ntop(AF_INET6, m_address.data(), text, sizeof text);
    return QStringLiteral("%1/%2")
        .arg(QLatin1String(text))
        .arg(ipv4 ? m_prefix - mappingBits : m_prefix);
}
