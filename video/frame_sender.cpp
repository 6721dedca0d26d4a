#include "video/frame_sender.h"

#include <charconv>
#include <exception>
#include <string_view>

#include "common/errors.h"
#include "common/text.h"
#include "video/jpeg_codec.h"

namespace quorell {

namespace {

// The port box holds plain decimal text; anything else, or a number that is no port, would
// send the frame somewhere nobody asked for, so it is a failed send.
int ParsePort(const std::string& text) {
    const std::string trimmed = Trimmed(text);
    int value = 0;
    const char* begin = trimmed.data();
    const char* end = begin + trimmed.size();
    const auto [stop, error] = std::from_chars(begin, end, value);
    if (trimmed.empty() || error != std::errc() || stop != end || value < 1 || value > 65535)
        throw Error("'" + text + "' is not a valid port number");
    return value;
}

// The frame as it goes into the encoder: no larger than the peer's picture, 24-bit colour.
QImage Fitted(const QImage& frame) {
    QImage fitted = frame;
    if (fitted.width() > FrameSender::kFitWidth || fitted.height() > FrameSender::kFitHeight)
        fitted = fitted.scaled(FrameSender::kFitWidth, FrameSender::kFitHeight, Qt::KeepAspectRatio,
                               Qt::SmoothTransformation);
    if (fitted.format() != QImage::Format_RGB888)
        fitted = fitted.convertToFormat(QImage::Format_RGB888);
    return fitted;
}

}  // namespace

void FrameSender::OnFrame(const QImage& frame) noexcept {
    if (frame.isNull()) return;  // nothing to show the peer
    std::string failure;
    try {
        const int port = ParsePort(window_.LocalVideoPort());
        const std::string bytes = EncodeFrameForWire(Fitted(frame));
        // An empty datagram would blank the peer's picture.
        if (bytes.empty()) throw Error("The frame could not be compressed.");
        link_.SendFrame({window_.PeerAddressAsTyped(), port}, bytes);
        ++sent_;
        failing_ = false;
        return;
    } catch (const std::exception& e) {
        failure = e.what();
    } catch (...) {
        failure = "The video frame could not be sent.";
    }
    if (failing_) return;
    failing_ = true;
    try {
        window_.VideoSendFailed(failure);
    } catch (...) {
        // The capture service must never see a failure; the next run of failures reports again.
    }
}

}  // namespace quorell
