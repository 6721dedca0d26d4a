#include "app/control_channel.h"

#include "app/dialogs.h"

namespace quorell {

ControlChannel::ControlChannel(std::shared_ptr<UiBridge> bridge, IDialogs& dialogs,
                               int control_port, std::string bind_address)
    : bridge_(std::move(bridge)), dialogs_(dialogs), control_port_(control_port) {
    client_.BindAddress = std::move(bind_address);
}

bool ControlChannel::SendControlLine(const std::string& host, const std::string& line) {
    bool reached = true;
    {
        std::lock_guard lock(lock_);
        client_.Host = host;
        client_.Port = control_port_;
        if (!client_.IsConnected()) {
            try {
                client_.OpenConnection();
            } catch (const std::exception&) {
                reached = false;
                client_.CloseConnection();
            }
        }
        if (reached) {
            try {
                client_.SendLine(line);
                client_.CloseConnection();
            } catch (...) {
                // Never leave a half-used connection behind for the next sender.
                client_.CloseConnection();
                throw;
            }
        }
    }
    if (!reached) {
        IDialogs& dialogs = dialogs_;
        bridge_->Invoke([&dialogs] { dialogs.UnreachablePeerBox(); });
    }
    return reached;
}

}  // namespace quorell
