#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace quorell::net {

// An IP address of either family, or none. An IPv4 address seen through an IPv6 socket
// (::ffff:a.b.c.d) is kept as the IPv4 address it is, so one host has one address whichever kind
// of socket it came through. Scope identifiers of link-local IPv6 addresses are not kept.
class Address {
public:
    enum class Family : std::uint8_t { kNone, kIPv4, kIPv6 };

    Address() = default;  // none
    static Address FromIPv4(in_addr address);
    static Address FromIPv6(const in6_addr& address);
    // The address of a socket address of either family; none for another family or a length too
    // short for it.
    static Address FromSockaddr(const sockaddr* address, socklen_t length);
    static Address FromSockaddr(const sockaddr_storage& address,
                                socklen_t length = sizeof(sockaddr_storage)) {
        return FromSockaddr(reinterpret_cast<const sockaddr*>(&address), length);
    }
    // Numeric text only, never looked up: four dot-separated decimal parts each 0..255 (leading
    // zeros allowed), or the colon form of an IPv6 address. Nothing else, not even surrounding
    // blanks.
    static std::optional<Address> Parse(std::string_view text);

    Family family() const { return family_; }
    bool IsNone() const { return family_ == Family::kNone; }
    bool IsIPv4() const { return family_ == Family::kIPv4; }
    bool IsIPv6() const { return family_ == Family::kIPv6; }

    // The IPv4 address; 0.0.0.0 unless IsIPv4().
    in_addr ToIPv4() const;
    // The IPv6 address, an IPv4 one in its mapped form; :: for none.
    in6_addr ToIPv6() const;
    // Dotted decimal for IPv4, the shortest colon form for IPv6, "" for none.
    std::string Text() const;
    // Fills *out with a socket address of this address's family and port, and returns its
    // length; 0 (and *out zeroed) for none.
    socklen_t ToSockaddr(int port, sockaddr_storage* out) const;

    std::size_t Hash() const;
    // Family first (none before IPv4 before IPv6), then the bytes in network order.
    friend auto operator<=>(const Address&, const Address&) = default;

private:
    Family family_ = Family::kNone;
    std::array<std::uint8_t, 16> bytes_{};  // IPv4: the first four, network order
};

// An address and a port: where a datagram came from or goes to.
struct Endpoint {
    Address address;
    int port = 0;

    // None (and port 0) for a socket address of another family.
    static Endpoint FromSockaddr(const sockaddr_storage& address, socklen_t length);
    friend auto operator<=>(const Endpoint&, const Endpoint&) = default;
};

// True for four dot-separated decimal parts, each 0..255 (leading zeros allowed); stores the
// address in *out when it is not null.
bool ParseDottedQuad(std::string_view text, in_addr* out);

// The address of a connected socket's peer; none when it has none or fd is not a socket.
Address PeerAddressOf(int fd);

}  // namespace quorell::net

template <>
struct std::hash<quorell::net::Address> {
    std::size_t operator()(const quorell::net::Address& address) const noexcept {
        return address.Hash();
    }
};
