#include "links/plain_control_link.h"

namespace quorell {

PlainControlLink::PlainControlLink(std::shared_ptr<UiBridge> bridge,
                                   SharedWindowRef<IControlLinkWindow> window, int control_port,
                                   std::string bind_address)
    : bridge_(std::move(bridge)), window_(std::move(window)), control_port_(control_port) {
    client_.BindAddress = std::move(bind_address);
}

bool PlainControlLink::SendControlLine(const std::string& line) {
    const WindowRef<IControlLinkWindow>* ref = window_.get();
    const std::string host = bridge_->Call([ref] { return ref->Get().PeerAddress(); });
    return SendControlLineTo(host, line);
}

bool PlainControlLink::SendControlLineTo(const std::string& host, const std::string& line) {
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
        const WindowRef<IControlLinkWindow>* ref = window_.get();
        bridge_->Invoke([ref] { ref->Get().UnreachablePeerBox(); });
    }
    return reached;
}

}  // namespace quorell
