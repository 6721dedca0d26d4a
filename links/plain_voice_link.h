#pragma once

#include "links/voice_link.h"
#include "net/udp_client.h"
#include "net/udp_server.h"

namespace quorell {

// Voice as bare datagrams: each block one datagram with no header, sent from the window's
// voice client and received by its voice server. The server's read handler hands each
// datagram to Received.
class PlainVoiceLink final : public IVoiceLink {
public:
    PlainVoiceLink(net::UdpClient& sender, net::UdpServer& receiver)
        : sender_(sender), receiver_(receiver) {}

    void OpenSending(const std::string& host, int port) override;
    void CloseSending() override;
    void SendBlock(const std::string& host, int port, std::string_view block) override;
    std::size_t MaxBlockSize() const override;
    void StartReceiving(int port, BlockHandler on_block) override;
    void StopReceiving() override;

    // One datagram the voice server received.
    void Received(std::string_view datagram);

private:
    net::UdpClient& sender_;
    net::UdpServer& receiver_;
    BlockHandler on_block_;
};

}  // namespace quorell
