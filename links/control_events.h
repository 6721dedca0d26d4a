#pragma once

#include <string>

namespace quorell {

// What the peer's control lines do on this side. Every call happens on the user-interface
// thread; texts are GBK bytes as they came off the wire.
class IControlEvents {
public:
    virtual ~IControlEvents() = default;
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

}  // namespace quorell
