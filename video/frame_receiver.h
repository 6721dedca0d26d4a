#pragma once

#include <QImage>
#include <string_view>

namespace quorell {

// What showing the peer's frames changes in the window; called on the user-interface thread.
class IVideoReceiverWindow {
public:
    virtual ~IVideoReceiverWindow() = default;
    // The picture now holds this frame (stretched to the picture's size).
    virtual void ShowFrame(const QImage& frame) = 0;
    // The picture now holds an empty bitmap and shows nothing.
    virtual void ShowBlank() = 0;
};

// Decodes each video datagram and shows it. A datagram without a readable JPEG header leaves
// the picture as it was; one whose picture data cannot be decoded (or an empty one) leaves the
// last frame, or blanks the placeholder. Never throws.
class FrameReceiver {
public:
    explicit FrameReceiver(IVideoReceiverWindow& window) : window_(window) {}

    void OnDatagram(std::string_view data) noexcept;
    // The placeholder is back in the picture (stop, or the peer's stop).
    void PlaceholderRestored() { holds_frame_ = false; }

    int FramesShown() const { return shown_; }

private:
    IVideoReceiverWindow& window_;
    bool holds_frame_ =
        false;  // the picture holds a bitmap (a frame or a blank), not the placeholder
    int shown_ = 0;
    QImage frame_;  // reused from frame to frame
};

}  // namespace quorell
