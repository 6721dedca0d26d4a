#include "app/dispatcher.h"

#include "common/errors.h"
#include "common/text.h"
#include "protocol/control_lines.h"

namespace quorell {

std::string SourceAddress(const net::ServerConnection& conn) {
    return conn.Source().Text();
}

std::string SourceAddress(int fd) {
    return net::PeerAddressOf(fd).Text();
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
