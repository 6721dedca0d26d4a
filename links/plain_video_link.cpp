#include "links/plain_video_link.h"

#include <algorithm>
#include <utility>

namespace quorell {

void PlainVideoLink::SendFrame(const VideoTarget& target, std::string_view frame) {
    // Broadcast stays allowed from the first frame on, so a broadcast address as the peer
    // works too.
    sender_.SetBroadcastEnabled(true);
    const std::size_t cap =
        std::min(kMaxFrameBytes, static_cast<std::size_t>(std::max(sender_.BufferSize, 0)));
    const std::size_t count = std::min(frame.size(), cap);
    sender_.SendBytesTo(target.host, target.port, frame.data(), count);
}

void PlainVideoLink::StartReceiving(int port, FrameHandler frames) {
    receiver_.DefaultPort = port;
    receiver_.SetActive(true);  // each activation binds the port it is given now
    frames_ = std::move(frames);
}

void PlainVideoLink::StopReceiving() {
    receiver_.SetActive(false);
}

void PlainVideoLink::Deliver(std::string_view datagram) {
    if (frames_) frames_(datagram);
}

}  // namespace quorell
