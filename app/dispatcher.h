#pragma once

#include <string>

#include "common/ui_bridge.h"
#include "common/window_ref.h"
#include "net/tcp_server.h"

namespace quorell {

// What the receiving side of the control channel does to the window. Every call happens on the
// user-interface thread; texts are GBK bytes as they came off the wire.
class IDispatchTarget {
public:
    virtual ~IDispatchTarget() = default;
    virtual void SetPeerVideoPort(long port) = 0;                // "system1:"
    virtual void SetPeerVoicePort(const std::string& port) = 0;  // "system3:"
    // The offer notice, from the dotted IPv4 source address of its connection (empty when
    // that is unknown).
    virtual void PeerOfferedFile(const std::string& source_address) = 0;
    virtual void PeerCancelledFile() = 0;
    virtual void PeerClosedVideo() = 0;
    // The connect notice, from the dotted IPv4 source address of its connection (empty when
    // that is unknown). The notice itself is then shown as chat.
    virtual void PeerConnected(const std::string& source_address) = 0;
    // The accept notice: shown without a ring, then the file sender starts.
    virtual void PeerAcceptedFile(const std::string& line) = 0;
    // A chat line (line breaks restored): stored as the last incoming line and shown, ringing.
    virtual void ShowIncoming(const std::string& line) = 0;
};

// The dotted IPv4 address a connected socket's peer has, or "" when it has none.
std::string SourceAddress(int fd);
// The dotted IPv4 address a connection came from, even when it has no descriptor any more.
std::string SourceAddress(const net::ServerConnection& conn);

// Reads the first line of the connection and carries it out, then shows further chat lines
// until a blank line or the end of the connection. Every effect goes through the bridge, in
// line order. Failures propagate (the server ends the connection silently).
void DispatchConnection(net::ServerConnection& conn, UiBridge& bridge,
                        const WindowRef<IDispatchTarget>& target);

}  // namespace quorell
