#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "common/ui_bridge.h"
#include "net/tcp_client.h"

namespace quorell {

class IDialogs;

// The sending side of the control channel: every line goes out over a fresh connection to the
// peer's control port, one sender at a time.
class ControlChannel {
public:
    ControlChannel(std::shared_ptr<UiBridge> bridge, IDialogs& dialogs, int control_port,
                   std::string bind_address);

    // Connects to host (already trimmed), writes line + CR LF and closes. When the peer cannot
    // be reached, shows the unreachable-peer box (after the lock is released, on the
    // user-interface thread) and returns false. A failure while writing propagates.
    bool SendControlLine(const std::string& host, const std::string& line);

    // For tests and benchmarks: the client shared by every sender.
    net::TcpClient& Client1() { return client_; }

private:
    std::shared_ptr<UiBridge> bridge_;
    IDialogs& dialogs_;
    int control_port_;
    std::mutex lock_;  // the control-channel lock
    net::TcpClient client_;
};

}  // namespace quorell
