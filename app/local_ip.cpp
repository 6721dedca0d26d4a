#include "app/local_ip.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cstring>

namespace quorell {

namespace {

std::string Dotted(const in_addr& addr) {
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &addr, text, sizeof text);
    return text;
}

bool FromHostName(std::string* out) {
    char name[128] = {};
    if (gethostname(name, sizeof name - 1) != 0) return false;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &list) != 0 || list == nullptr) return false;
    *out = Dotted(reinterpret_cast<sockaddr_in*>(list->ai_addr)->sin_addr);
    freeaddrinfo(list);
    return true;
}

bool FromInterfaces(std::string* out) {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return false;
    bool found = false;
    for (ifaddrs* it = list; it != nullptr && !found; it = it->ifa_next) {
        if (it->ifa_addr == nullptr || it->ifa_addr->sa_family != AF_INET) continue;
        if ((it->ifa_flags & IFF_LOOPBACK) != 0 || (it->ifa_flags & IFF_UP) == 0) continue;
        *out = Dotted(reinterpret_cast<sockaddr_in*>(it->ifa_addr)->sin_addr);
        found = true;
    }
    freeifaddrs(list);
    return found;
}

}  // namespace

std::string GetLocalIP() {
    // The host name of a Debian machine resolves to 127.0.1.1, which the peer cannot reach, so
    // an interface's address comes first.
    std::string address;
    if (FromInterfaces(&address)) return address;
    if (FromHostName(&address)) return address;
    return "127.0.0.1";
}

}  // namespace quorell
