#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace quorell {

// Where one frame goes: the peer's address as the user typed it and a port.
struct VideoTarget {
    std::string host;
    int port = 0;

    bool operator==(const VideoTarget&) const = default;
};

// Video frames to and from the peer, whichever wire carries them. The video feature holds one
// of these and never a socket; its control lines go through IControlLink.
class IVideoLink {
public:
    // One received frame, whole as it arrived; called on the user-interface thread, one frame
    // at a time in arrival order.
    using FrameHandler = std::function<void(std::string_view frame)>;

    virtual ~IVideoLink();

    // Sends one encoded frame to target as one datagram; a frame longer than the wire takes is
    // cut to its first kMaxFrameBytes. Throws when it cannot go out (a host that does not
    // resolve, a socket error).
    virtual void SendFrame(const VideoTarget& target, std::string_view frame) = 0;

    // Starts taking the peer's frames on port and hands each to frames. Throws when the port
    // cannot be had; the link is then not receiving.
    virtual void StartReceiving(int port, FrameHandler frames) = 0;
    // No more frames; the port is free again when it returns. Harmless when not receiving.
    virtual void StopReceiving() = 0;
    virtual bool Receiving() const = 0;

    static constexpr std::size_t kMaxFrameBytes = 8192;
};

}  // namespace quorell
