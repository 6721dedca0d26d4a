#pragma once

#include <QImage>
#include <cstddef>
#include <string>
#include <string_view>

namespace quorell {

// The JPEG side of video: every frame is a baseline JFIF image at quality 50, and one datagram
// carries at most this many bytes of it.
inline constexpr std::size_t kMaxVideoDatagram = 8192;
inline constexpr int kVideoQuality = 50;
// The largest picture a received frame may claim; anything larger is refused right after its
// header is read, before a pixel buffer is allocated.
inline constexpr int kMaxDecodedWidth = 4096;
inline constexpr int kMaxDecodedHeight = 4096;
// Nor more pixels than a full HD picture. A sender's frames come from the camera's mode nearest
// 176 by 144, halved when they do not fit a datagram; a header claiming more costs one decode
// of the whole claimed area on the user-interface thread (some 0.2 s for 4096 by 4096 from an
// 8 KB datagram), so a stranger could keep the window frozen with a few datagrams a second.
inline constexpr long kMaxDecodedPixels = 1920L * 1080;

// Compresses a picture (any format; it is taken as 24-bit colour) to a baseline JFIF file with
// libjpeg's default parameters and the given quality, baseline-compatible tables. Empty for a
// null picture (or when libjpeg fails), which is then not to be sent.
std::string EncodeJpeg(const QImage& picture, int quality = kVideoQuality);

// The bytes that go out for one frame: the frame's JPEG file when it fits one datagram; else
// the file of the frame at half the size, when that fits; else the first kMaxVideoDatagram
// bytes of the half-size file.
std::string EncodeFrameForWire(const QImage& frame);

// How a received datagram decoded.
enum class DecodeResult {
    Decoded,    // *out holds the picture (a cut-off file is filled in by the decoder)
    BadHeader,  // no readable JPEG header (also: a picture too large); *out is untouched
    BadData,    // nothing at all, or the header was read but the picture could not be decoded
};

// Decodes a JPEG file (or the first part of one) into a 24-bit picture. Never calls exit(),
// never throws for bad input; the end of data before the end of the picture is a warning.
// *out's pixel buffer is reused when it has the picture's size and is 24-bit. A failure in the
// middle of the pixel data (rare: libjpeg reads most damage as a warning) leaves the rows
// decoded so far in *out.
DecodeResult DecodeJpeg(std::string_view data, QImage* out);

}  // namespace quorell
