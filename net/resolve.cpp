#include "net/resolve.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include "net/socket_error.h"

namespace quorell::net {

namespace {

bool EqualsIgnoringCase(const std::string& text, const char* upper) {
    std::size_t i = 0;
    for (; upper[i] != '\0'; ++i) {
        if (i >= text.size()) return false;
        char c = text[i];
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        if (c != upper[i]) return false;
    }
    return i == text.size();
}

}  // namespace

Address ResolveHost(const std::string& host) {
    in_addr result{};
    if (EqualsIgnoringCase(host, "LOCALHOST")) {
        result.s_addr = htonl(INADDR_LOOPBACK);
        return Address::FromIPv4(result);
    }
    if (ParseDottedQuad(host, &result)) return Address::FromIPv4(result);
    // An embedded NUL would make the resolver look up a different, shorter name.
    if (host.empty() || host.find('\0') != std::string::npos) throw SocketError(kHostNotFound);

    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &list) != 0 || list == nullptr) {
        if (list != nullptr) freeaddrinfo(list);
        throw SocketError(kHostNotFound);
    }
    Address found;
    for (addrinfo* ai = list; ai != nullptr && found.IsNone(); ai = ai->ai_next) {
        if (ai->ai_family == AF_INET) found = Address::FromSockaddr(ai->ai_addr, ai->ai_addrlen);
    }
    freeaddrinfo(list);
    if (found.IsNone()) throw SocketError(kHostNotFound);
    return found;
}

Address ResolveBindAddress(const std::string& address) {
    if (!address.empty()) return ResolveHost(address);
    in_addr any{};
    any.s_addr = htonl(INADDR_ANY);
    return Address::FromIPv4(any);
}

}  // namespace quorell::net
