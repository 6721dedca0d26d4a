#include "links/line_source.h"

#include "net/address.h"

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
    return conn.Source().Text();
}

std::string SourceAddress(int fd) {
    return net::PeerAddressOf(fd).Text();
}

}  // namespace quorell
