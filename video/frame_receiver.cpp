#include "video/frame_receiver.h"

#include "video/jpeg_codec.h"

namespace quorell {

void FrameReceiver::OnDatagram(std::string_view data) noexcept {
    try {
        switch (DecodeJpeg(data, &frame_)) {
            case DecodeResult::Decoded:
                window_.ShowFrame(frame_);
                holds_frame_ = true;
                ++shown_;
                break;
            case DecodeResult::BadHeader:
                break;  // not a picture: whatever the window shows stays
            case DecodeResult::BadData:
                // The placeholder gives way to an empty bitmap; a frame already shown stays.
                if (!holds_frame_) {
                    window_.ShowBlank();
                    holds_frame_ = true;
                }
                break;
        }
    } catch (...) {
        // A datagram that cannot be shown is dropped without a word.
    }
}

}  // namespace quorell
