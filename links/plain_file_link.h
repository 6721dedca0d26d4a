#pragma once

#include <memory>
#include <string>

#include "links/file_link.h"
#include "net/udp_client.h"

namespace quorell {

// The file link on a datagram client of its own: datagrams to the peer's file port, replies
// waited for on the same socket, 20 s for each.
class PlainFileLink : public IFileLink {
public:
    static constexpr int kReplyTimeout = 20000;

    explicit PlainFileLink(int file_port);

    // The socket itself, for the window that names it and for tests (Port, ReceiveTimeout,
    // BindAddress, BufferSize).
    net::UdpClient& Client() { return client_; }

    void SetPeerHost(const std::string& host) override { client_.Host = host; }
    std::string PeerHost() const override { return client_.Host; }
    std::string Resolve(const std::string& host) override;
    void Open() override { client_.SetActive(true); }
    void Close() override { client_.SetActive(false); }
    bool IsOpen() const override { return client_.Active(); }
    void Send(const std::string& to, std::string_view bytes) override;
    std::optional<std::string> Receive(int timeout_ms) override;
    int ReplyTimeout() const override { return client_.ReceiveTimeout; }

private:
    net::UdpClient client_;
};

}  // namespace quorell
