#include "app/dispatcher.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "common/errors.h"
#include "common/text.h"
#include "protocol/control_lines.h"

namespace quorell {

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

void DispatchConnection(net::ServerConnection& conn, UiBridge& bridge,
                        const WindowRef<IDispatchTarget>& target) {
    using protocol::LineKind;
    std::string line = conn.ReceiveLine();
    const protocol::ControlLine first = protocol::Parse(line);
    switch (first.kind) {
        case LineKind::VideoPort:
            if (!first.port_valid) throw Error("'" + line + "' is not a number");
            bridge.Invoke([&] { target.Get().SetPeerVideoPort(first.video_port); });
            return;
        case LineKind::VoicePort:
            bridge.Invoke([&] { target.Get().SetPeerVoicePort(first.value); });
            return;
        case LineKind::Address:
            return;
        case LineKind::FileOffered:
            bridge.Invoke(
                [&, source = SourceAddress(conn)] { target.Get().PeerOfferedFile(source); });
            break;
        case LineKind::FileCancelled:
            bridge.Invoke([&] { target.Get().PeerCancelledFile(); });
            break;
        case LineKind::VideoClosed:
            bridge.Invoke([&] { target.Get().PeerClosedVideo(); });
            break;
        case LineKind::FileAccepted:
            bridge.Invoke([&] { target.Get().PeerAcceptedFile(line); });
            return;
        case LineKind::Connected: {
            const std::string source = SourceAddress(conn);
            bridge.Invoke([&] { target.Get().PeerConnected(source); });
            break;
        }
        default:  // the other messages and chat are only shown
            break;
    }
    while (!Trimmed(line).empty()) {
        const std::string shown = protocol::ChatText(line);
        bridge.Invoke([&] { target.Get().ShowIncoming(shown); });
        line = conn.ReceiveLine();
    }
}

}  // namespace quorell
