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

bool ParseDottedQuad(const std::string& text, in_addr* out) {
    uint32_t address = 0;
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

in_addr ResolveHost(const std::string& host) {
    in_addr result{};
    if (EqualsIgnoringCase(host, "LOCALHOST")) {
        result.s_addr = htonl(INADDR_LOOPBACK);
        return result;
    }
    if (ParseDottedQuad(host, &result)) return result;
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
    bool found = false;
    for (addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
        if (ai->ai_family == AF_INET && ai->ai_addr != nullptr &&
            ai->ai_addrlen >= sizeof(sockaddr_in)) {
            result = reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr;
            found = true;
            break;
        }
    }
    freeaddrinfo(list);
    if (!found) throw SocketError(kHostNotFound);
    return result;
}

std::string FormatAddress(in_addr addr) {
    char text[INET_ADDRSTRLEN] = {};
    if (inet_ntop(AF_INET, &addr, text, sizeof text) == nullptr) return std::string();
    return text;
}

}  // namespace quorell::net
