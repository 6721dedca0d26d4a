#pragma once

#include <string>

namespace quorell {

// Control lines to the peer, whichever wire carries them. Features that tell the peer
// something (an offer, an accept, a port) hold one of these and never a socket.
class IControlLink {
public:
    virtual ~IControlLink();
    // Sends one control line (GBK bytes, without the line end) to the peer. false when the
    // peer cannot be reached; the user has then been told. A connection that breaks while the
    // line is written throws.
    virtual bool SendControlLine(const std::string& line) = 0;
};

}  // namespace quorell
