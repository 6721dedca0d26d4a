#include "links/control_dispatcher.h"

#include "common/errors.h"
#include "common/text.h"
#include "protocol/control_lines.h"

namespace quorell {

void DispatchLines(ILineSource& source, UiBridge& bridge, const WindowRef<IControlEvents>& target) {
    using protocol::LineKind;
    std::string line;
    if (!source.ReadLine(line)) return;
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
                [&, address = source.SourceAddress()] { target.Get().PeerOfferedFile(address); });
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
            const std::string address = source.SourceAddress();
            bridge.Invoke([&] { target.Get().PeerConnected(address); });
            break;
        }
        default:  // the other messages and chat are only shown
            break;
    }
    while (!Trimmed(line).empty()) {
        const std::string shown = protocol::ChatText(line);
        bridge.Invoke([&] { target.Get().ShowIncoming(shown); });
        if (!source.ReadLine(line)) return;
    }
}

}  // namespace quorell
