#include "support/memory_video_link.h"

#include <algorithm>
#include <utility>

#include "common/errors.h"

namespace quorell::test {

void MemoryVideoLink::SendFrame(const VideoTarget& target, std::string_view frame) {
    if (!send_failure.empty()) throw Error(send_failure);
    sent.push_back({target, std::string(frame.substr(0, std::min(frame.size(), kMaxFrameBytes)))});
}

void MemoryVideoLink::StartReceiving(int at, FrameHandler frames) {
    if (at < 0 || at > 65535) throw Error("Invalid argument.");
    if (port_taken) throw Error("Could not bind socket. Address and port are already in use.");
    receiving_ = true;
    port = at;
    ++starts;
    frames_ = std::move(frames);
}

void MemoryVideoLink::StopReceiving() {
    receiving_ = false;
}

bool MemoryVideoLink::DeliverFromPeer(std::string_view frame) {
    if (!receiving_ || frame.size() > kMaxFrameBytes || !frames_) return false;
    frames_(frame);
    return true;
}

}  // namespace quorell::test
