#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "links/video_link.h"

namespace quorell::test {

// Video over no wire at all: every frame sent is recorded as the bytes that would have gone
// out, with its target, and the test plays the peer by delivering frames to the receiving
// side. Runs synchronously on the calling thread.
class MemoryVideoLink final : public IVideoLink {
public:
    struct Sent {
        VideoTarget target;
        std::string bytes;
    };

    void SendFrame(const VideoTarget& target, std::string_view frame) override;
    void StartReceiving(int port, FrameHandler frames) override;
    void StopReceiving() override;
    bool Receiving() const override { return receiving_; }

    // A frame from the peer, handed over at once while receiving. Dropped, as a datagram
    // nobody listens for, while not receiving, or when longer than a datagram may be.
    // True when it was handed over.
    bool DeliverFromPeer(std::string_view frame);

    std::vector<Sent> sent;
    std::string send_failure;  // not empty: every send fails with these words
    bool port_taken = false;   // the next starts fail as on a port bound elsewhere
    int port = 0;              // the port of the latest start that succeeded
    int starts = 0;            // starts that succeeded

private:
    bool receiving_ = false;
    FrameHandler frames_;
};

}  // namespace quorell::test
