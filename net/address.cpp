#include "net/address.h"

#include <arpa/inet.h>

#include <cstring>

namespace quorell::net {

namespace {

constexpr std::uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

}  // namespace

bool ParseDottedQuad(std::string_view text, in_addr* out) {
    std::uint32_t address = 0;
    int parts = 0;
    std::size_t i = 0;
    while (true) {
        // One part: at least one decimal digit, value at most 255 (leading zeros allowed).
        unsigned value = 0;
        std::size_t digits = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
            value = value * 10 + static_cast<unsigned>(text[i] - '0');
            if (value > 255) return false;
            ++digits;
            ++i;
        }
        if (digits == 0) return false;
        address = (address << 8) | value;
        ++parts;
        if (i == text.size()) break;
        if (text[i] != '.' || parts == 4) return false;
        ++i;
    }
    if (parts != 4) return false;
    if (out != nullptr) out->s_addr = htonl(address);
    return true;
}

Address Address::FromIPv4(in_addr address) {
    Address a;
    a.family_ = Family::kIPv4;
    std::memcpy(a.bytes_.data(), &address.s_addr, 4);
    return a;
}

Address Address::FromIPv6(const in6_addr& address) {
    Address a;
    if (std::memcmp(address.s6_addr, kMappedPrefix, sizeof kMappedPrefix) == 0) {
        a.family_ = Family::kIPv4;
        std::memcpy(a.bytes_.data(), address.s6_addr + 12, 4);
        return a;
    }
    a.family_ = Family::kIPv6;
    std::memcpy(a.bytes_.data(), address.s6_addr, 16);
    return a;
}

Address Address::FromSockaddr(const sockaddr* address, socklen_t length) {
    if (address == nullptr || length < static_cast<socklen_t>(sizeof(sa_family_t))) return {};
    if (address->sa_family == AF_INET && length >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
        return FromIPv4(reinterpret_cast<const sockaddr_in*>(address)->sin_addr);
    }
    if (address->sa_family == AF_INET6 && length >= static_cast<socklen_t>(sizeof(sockaddr_in6))) {
        return FromIPv6(reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr);
    }
    return {};
}

std::optional<Address> Address::Parse(std::string_view text) {
    in_addr v4{};
    if (ParseDottedQuad(text, &v4)) return FromIPv4(v4);
    // The system's parser wants a terminated string and would stop at an embedded NUL.
    if (text.empty() || text.size() >= INET6_ADDRSTRLEN ||
        text.find(':') == std::string_view::npos || text.find('\0') != std::string_view::npos) {
        return std::nullopt;
    }
    const std::string terminated(text);
    in6_addr v6{};
    if (inet_pton(AF_INET6, terminated.c_str(), &v6) != 1) return std::nullopt;
    return FromIPv6(v6);
}

in_addr Address::ToIPv4() const {
    in_addr out{};
    if (IsIPv4()) std::memcpy(&out.s_addr, bytes_.data(), 4);
    return out;
}

in6_addr Address::ToIPv6() const {
    in6_addr out{};
    if (IsIPv6()) {
        std::memcpy(out.s6_addr, bytes_.data(), 16);
    } else if (IsIPv4()) {
        std::memcpy(out.s6_addr, kMappedPrefix, sizeof kMappedPrefix);
        std::memcpy(out.s6_addr + 12, bytes_.data(), 4);
    }
    return out;
}

std::string Address::Text() const {
    char text[INET6_ADDRSTRLEN] = {};
    if (IsIPv4()) {
        const in_addr v4 = ToIPv4();
        if (inet_ntop(AF_INET, &v4, text, sizeof text) == nullptr) return std::string();
    } else if (IsIPv6()) {
        const in6_addr v6 = ToIPv6();
        if (inet_ntop(AF_INET6, &v6, text, sizeof text) == nullptr) return std::string();
    }
    return text;
}

socklen_t Address::ToSockaddr(int port, sockaddr_storage* out) const {
    *out = sockaddr_storage{};
    const auto net_port = htons(static_cast<std::uint16_t>(port));
    if (IsIPv4()) {
        auto* v4 = reinterpret_cast<sockaddr_in*>(out);
        v4->sin_family = AF_INET;
        v4->sin_port = net_port;
        v4->sin_addr = ToIPv4();
        return sizeof(sockaddr_in);
    }
    if (IsIPv6()) {
        auto* v6 = reinterpret_cast<sockaddr_in6*>(out);
        v6->sin6_family = AF_INET6;
        v6->sin6_port = net_port;
        v6->sin6_addr = ToIPv6();
        return sizeof(sockaddr_in6);
    }
    return 0;
}

std::size_t Address::Hash() const {
    // FNV-1a over the family and the bytes that count for it.
    std::uint64_t hash = 14695981039346656037ull;
    const auto mix = [&hash](std::uint8_t byte) {
        hash ^= byte;
        hash *= 1099511628211ull;
    };
    mix(static_cast<std::uint8_t>(family_));
    for (std::uint8_t byte : bytes_) mix(byte);
    return static_cast<std::size_t>(hash);
}

Endpoint Endpoint::FromSockaddr(const sockaddr_storage& address, socklen_t length) {
    Endpoint endpoint{Address::FromSockaddr(address, length)};
    if (address.ss_family == AF_INET && !endpoint.address.IsNone()) {
        endpoint.port = ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
    } else if (address.ss_family == AF_INET6 && !endpoint.address.IsNone()) {
        endpoint.port = ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port);
    }
    return endpoint;
}

Address PeerAddressOf(int fd) {
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    if (fd < 0 || getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0) return {};
    return Address::FromSockaddr(peer, length);
}

}  // namespace quorell::net
