#pragma once

#include <QImage>
#include <string>

#include "links/video_link.h"

namespace quorell {

// What sending frames reads from the window; called on the user-interface thread.
class IVideoSenderWindow {
public:
    virtual ~IVideoSenderWindow() = default;
    // The peer address box exactly as typed (GBK bytes, not trimmed).
    virtual std::string PeerAddressAsTyped() = 0;
    // The decimal text of the local video port box.
    virtual std::string LocalVideoPort() = 0;
    // A frame could not be sent; called once for a run of failures, again only after a frame
    // went out in between.
    virtual void VideoSendFailed(const std::string& message) = 0;
};

// Turns each captured frame into one frame on the link: scaled down to fit the peer's picture,
// JPEG at quality 50, at most 8192 bytes, to the peer's address as typed at the local video
// port (both read afresh for every frame). Never throws: the capture service must not see a
// failure.
class FrameSender {
public:
    // The peer shows frames in a picture of about this size; larger frames are scaled down to
    // fit it before they are encoded.
    static constexpr int kFitWidth = 200;
    static constexpr int kFitHeight = 165;

    FrameSender(IVideoSenderWindow& window, IVideoLink& link) : window_(window), link_(link) {}

    void OnFrame(const QImage& frame) noexcept;

    int FramesSent() const { return sent_; }

private:
    IVideoSenderWindow& window_;
    IVideoLink& link_;
    bool failing_ = false;
    int sent_ = 0;
};

}  // namespace quorell
