#pragma once

#include <string_view>

#include "links/video_link.h"
#include "net/udp_client.h"
#include "net/udp_server.h"

namespace quorell {

// Video on the plain datagram wire: each frame is one datagram from the sending client, and
// the peer's frames arrive at the receiving server, bound to the port the peer announced. The
// owner keeps both endpoints and routes the server's read handler to Deliver.
class PlainVideoLink final : public IVideoLink {
public:
    PlainVideoLink(net::UdpClient& sender, net::UdpServer& receiver)
        : sender_(sender), receiver_(receiver) {}

    void SendFrame(const VideoTarget& target, std::string_view frame) override;
    void StartReceiving(int port, FrameHandler frames) override;
    void StopReceiving() override;
    bool Receiving() const override { return receiver_.Active(); }

    // One datagram that arrived at the receiving server.
    void Deliver(std::string_view datagram);

private:
    net::UdpClient& sender_;
    net::UdpServer& receiver_;
    FrameHandler frames_;
};

}  // namespace quorell
