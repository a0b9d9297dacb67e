#pragma once

#include <QString>
#include <QStringView>

#include <array>
#include <optional>

// An address range in CIDR form. Every address is kept as IPv6, an IPv4 one
// as IPv4-mapped (::ffff:a.b.c.d), so that an IPv4 network also holds the
// mapped addresses a dual-stack listener reports.
class Network {
public:
    using Address = std::array<unsigned char, 16>;
    // How far a ban reaches from one address.
    enum class Scope { Address, Neighbourhood };

    // "192.0.2.0/24", "fd00::/8", or one address ("192.0.2.7", "::1").
    static std::optional<Network> parse(QStringView text);
    // The address itself, or its neighbourhood: /24 for IPv4, /64 for IPv6.
    static std::optional<Network> around(QStringView address, Scope scope);
    static std::optional<Address> parseAddress(QStringView text);

    bool contains(const Address& address) const;
    QString text() const;
    bool operator==(const Network&) const = default;

private:
    Network(const Address& address, int prefix);

    Address m_address {};
    int m_prefix = 0; // of the 128 bits, IPv4 ones counted after the 96 of the mapping
};
