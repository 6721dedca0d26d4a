#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "common/ui_bridge.h"
#include "common/window_ref.h"
#include "links/control_link.h"
#include "net/tcp_client.h"

namespace quorell {

// What sending a control line needs from the window; called on the user-interface thread only.
class IControlLinkWindow {
public:
    virtual ~IControlLinkWindow() = default;
    // Where control lines go: the peer address as trimmed text.
    virtual std::string PeerAddress() = 0;
    // Tells the user that the peer cannot be reached.
    virtual void UnreachablePeerBox() = 0;
};

// Control lines as the original protocol carries them: every line goes out over a fresh
// connection to the peer's control port, one sender at a time. Safe to use from any thread.
class PlainControlLink : public IControlLink {
public:
    PlainControlLink(std::shared_ptr<UiBridge> bridge, SharedWindowRef<IControlLinkWindow> window,
                     int control_port, std::string bind_address);

    // Sends to the window's peer address, read on the user-interface thread.
    bool SendControlLine(const std::string& line) override;

    // Connects to host (already trimmed), writes line + CR LF and closes. When the peer cannot
    // be reached, shows the unreachable-peer box (after the lock is released, on the
    // user-interface thread) and returns false. A failure while writing propagates.
    bool SendControlLineTo(const std::string& host, const std::string& line);

    // For tests and benchmarks: the client shared by every sender.
    net::TcpClient& Client1() { return client_; }

private:
    std::shared_ptr<UiBridge> bridge_;
    SharedWindowRef<IControlLinkWindow> window_;
    int control_port_;
    std::mutex lock_;  // the control-channel lock
    net::TcpClient client_;
};

}  // namespace quorell
