#include "links/line_source.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace quorell {

ILineSource::~ILineSource() = default;

bool ConnectionLineSource::ReadLine(std::string& line) {
    line = conn_.ReceiveLine();
    return true;
}

std::string ConnectionLineSource::SourceAddress() {
    return quorell::SourceAddress(conn_);
}

bool LineFeed::ReadLine(std::string& line) {
    if (lines_.empty()) return false;
    line = std::move(lines_.front());
    lines_.pop_front();
    return true;
}

std::string SourceAddress(const net::ServerConnection& conn) {
    if (conn.SourceIPv4() == 0) return SourceAddress(conn.fd());
    in_addr address{};
    address.s_addr = conn.SourceIPv4();
    char text[INET_ADDRSTRLEN] = {};
    if (::inet_ntop(AF_INET, &address, text, sizeof text) == nullptr) return {};
    return text;
}

std::string SourceAddress(int fd) {
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0 ||
        peer.sin_family != AF_INET) {
        return {};
    }
    char text[INET_ADDRSTRLEN] = {};
    if (::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text) == nullptr) return {};
    return text;
}

}  // namespace quorell
