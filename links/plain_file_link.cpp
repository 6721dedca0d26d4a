#include "links/plain_file_link.h"

#include "net/resolve.h"

namespace quorell {

PlainFileLink::PlainFileLink(int file_port) {
    client_.Port = file_port;
    client_.ReceiveTimeout = kReplyTimeout;
}

std::string PlainFileLink::Resolve(const std::string& host) {
    return net::FormatAddress(net::ResolveHost(host));
}

void PlainFileLink::Send(const std::string& to, std::string_view bytes) {
    client_.SendBytesTo(to, client_.Port, bytes.data(), bytes.size());
}

std::optional<std::string> PlainFileLink::Receive(int timeout_ms) {
    std::string datagram = client_.ReceiveText(timeout_ms);
    // An empty datagram is a datagram too; only its source tells it from silence.
    if (datagram.empty() && client_.PeerIP().empty()) return std::nullopt;
    return datagram;
}

}  // namespace quorell
