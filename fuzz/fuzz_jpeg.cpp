// The video receiving path: every datagram (at most the 8192 bytes a datagram server delivers)
// goes to the frame receiver, which decodes it with the safe JPEG decoder and tells a recording
// window. A picture larger than the decoder allows (by side or by area) is never shown, a header
// that cannot be read leaves the picture untouched, and nothing crashes.
#include <algorithm>
#include <cstdint>
#include <string_view>

#include "fuzz_check.h"
#include "video/frame_receiver.h"
#include "video/jpeg_codec.h"

namespace {

using namespace quorell;

struct Window : IVideoReceiverWindow {
    void ShowFrame(const QImage& frame) override {
        FUZZ_CHECK(!frame.isNull() && frame.format() == QImage::Format_RGB888);
        FUZZ_CHECK(frame.width() <= kMaxDecodedWidth && frame.height() <= kMaxDecodedHeight);
        FUZZ_CHECK(static_cast<long>(frame.width()) * frame.height() <= kMaxDecodedPixels);
        ++frames;
    }
    void ShowBlank() override { ++blanks; }
    int frames = 0;
    int blanks = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view datagram(reinterpret_cast<const char*>(data),
                                    std::min(size, kMaxVideoDatagram));

    // The decoder itself, over a picture that already holds a frame.
    QImage picture(3, 2, QImage::Format_RGB888);
    picture.fill(Qt::red);
    const QImage before = picture;
    switch (DecodeJpeg(datagram, &picture)) {
        case DecodeResult::Decoded:
            FUZZ_CHECK(picture.format() == QImage::Format_RGB888);
            FUZZ_CHECK(picture.width() > 0 && picture.width() <= kMaxDecodedWidth);
            FUZZ_CHECK(picture.height() > 0 && picture.height() <= kMaxDecodedHeight);
            FUZZ_CHECK(static_cast<long>(picture.width()) * picture.height() <= kMaxDecodedPixels);
            break;
        case DecodeResult::BadHeader:
            FUZZ_CHECK(picture == before);
            break;
        case DecodeResult::BadData:
            break;
    }

    // The receiver: the same datagram twice, so the second decode reuses the picture.
    Window window;
    FrameReceiver receiver(window);
    receiver.OnDatagram(datagram);
    receiver.OnDatagram(datagram);
    FUZZ_CHECK(receiver.FramesShown() == window.frames);
    FUZZ_CHECK(window.blanks <= 1);
    return 0;
}
