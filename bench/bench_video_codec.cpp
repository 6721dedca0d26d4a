// The cost of the video frame path against bare libjpeg-turbo, over a moving test picture:
//   1. compressing one frame: bare jpeg_mem_dest compression of an RGB888 buffer at quality 50
//      against the send path, EncodeFrameForWire;
//   2. decompressing the same files: bare jpeg_mem_src decompression into a fixed buffer
//      against the receive path, DecodeJpeg into a reused picture plus QPixmap::fromImage;
//   3. turning camera frames (YUYV, NV12, MJPEG) into a 24-bit picture with
//      QVideoFrame::toImage and convertToFormat(RGB888).
// Prints figures; it never judges them.
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QVideoFrame>
#include <QVideoFrameFormat>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <jpeglib.h>

#include "bench_support.h"
#include "video/jpeg_codec.h"

using namespace quorell;
using namespace quorell::bench;

namespace {

constexpr int kFrames = 300;
constexpr int kPasses = 5;

// A picture that moves like a camera scene: drifting gradients, a moving bright block and a
// little sensor noise.
QImage MovingFrame(int width, int height, int t) {
    QImage image(width, height, QImage::Format_RGB888);
    unsigned noise = 12345u + static_cast<unsigned>(t) * 7919u;
    const int bx = (t * 3) % width, by = (t * 2) % height;
    for (int y = 0; y < height; ++y) {
        uchar* row = image.scanLine(y);
        for (int x = 0; x < width; ++x) {
            noise = noise * 1103515245u + 12345u;
            const int n = static_cast<int>((noise >> 16) & 7) - 4;
            const bool block = std::abs(x - bx) < width / 8 && std::abs(y - by) < height / 8;
            const double wave = 40 * std::sin((x + 2 * t) * 0.05) * std::cos((y - t) * 0.07);
            row[3 * x] = static_cast<uchar>(std::clamp(block ? 230 : 90 + int(wave) + n, 0, 255));
            row[3 * x + 1] = static_cast<uchar>(std::clamp((x + y + t) % 256 / 2 + 60 + n, 0, 255));
            row[3 * x + 2] =
                static_cast<uchar>(std::clamp(block ? 40 : 140 - int(wave) + n, 0, 255));
        }
    }
    return image;
}

std::string BareCompress(const QImage& rgb) {
    jpeg_compress_struct cinfo;
    jpeg_error_mgr err;
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_compress(&cinfo);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &buffer, &size);
    cinfo.image_width = static_cast<JDIMENSION>(rgb.width());
    cinfo.image_height = static_cast<JDIMENSION>(rgb.height());
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, kVideoQuality, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = const_cast<uchar*>(rgb.constScanLine(static_cast<int>(cinfo.next_scanline)));
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    std::string bytes(reinterpret_cast<const char*>(buffer), size);
    std::free(buffer);
    return bytes;
}

void BareDecompress(const std::string& jpeg, std::vector<uchar>* pixels) {
    jpeg_decompress_struct cinfo;
    jpeg_error_mgr err;
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, reinterpret_cast<const unsigned char*>(jpeg.data()), jpeg.size());
    jpeg_read_header(&cinfo, TRUE);
    cinfo.out_color_space = JCS_RGB;
    jpeg_start_decompress(&cinfo);
    const std::size_t stride = cinfo.output_width * 3;
    pixels->resize(stride * cinfo.output_height);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = pixels->data() + cinfo.output_scanline * stride;
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
}

// Microseconds per item for the best of several passes over all items.
double BestPerItem(int items, const std::function<void(int)>& work) {
    double best = 1e300;
    for (int pass = 0; pass < kPasses; ++pass) {
        const auto start = Clock::now();
        for (int i = 0; i < items; ++i) work(i);
        best = std::min(best, MicrosBetween(start, Clock::now()) / items);
    }
    return best;
}

void CodecFigures(int width, int height) {
    std::vector<QImage> frames;
    for (int t = 0; t < kFrames; ++t) frames.push_back(MovingFrame(width, height, t));

    std::vector<std::string> files(kFrames);
    std::vector<std::string> wire(kFrames);
    const double bareEncode =
        BestPerItem(kFrames, [&](int i) { files[i] = BareCompress(frames[i]); });
    const double wireEncode =
        BestPerItem(kFrames, [&](int i) { wire[i] = EncodeFrameForWire(frames[i]); });
    std::size_t total = 0, oversize = 0;
    for (int i = 0; i < kFrames; ++i) {
        total += files[i].size();
        oversize += files[i].size() > kMaxVideoDatagram;
    }
    std::printf("%dx%d, %d frames, mean JPEG %zu bytes, %zu over %zu bytes\n", width, height,
                kFrames, total / kFrames, oversize, kMaxVideoDatagram);
    std::printf(
        "  encode: bare libjpeg-turbo %8.1f us/frame, EncodeFrameForWire %8.1f us/frame, "
        "ratio %.2f\n",
        bareEncode, wireEncode, wireEncode / bareEncode);

    std::vector<uchar> pixels;
    QImage picture;
    QPixmap shown;
    int failures = 0;
    const double bareDecode =
        BestPerItem(kFrames, [&](int i) { BareDecompress(files[i], &pixels); });
    const double decodeOnly = BestPerItem(kFrames, [&](int i) {
        failures += DecodeJpeg(files[i], &picture) != DecodeResult::Decoded;
    });
    const double decodeShow = BestPerItem(kFrames, [&](int i) {
        failures += DecodeJpeg(files[i], &picture) != DecodeResult::Decoded;
        shown = QPixmap::fromImage(picture);
    });
    std::printf(
        "  decode: bare libjpeg-turbo %8.1f us/frame, DecodeJpeg %8.1f us/frame "
        "(ratio %.2f), DecodeJpeg + QPixmap::fromImage %8.1f us/frame, ratio %.2f%s\n",
        bareDecode, decodeOnly, decodeOnly / bareDecode, decodeShow, decodeShow / bareDecode,
        failures ? "  (DECODE FAILURES)" : "");
}

// Fills a YUV frame from an RGB picture with the BT.601 limited-range formulas.
void Yuv(const uchar* p, int* y, int* u, int* v) {
    *y = ((66 * p[0] + 129 * p[1] + 25 * p[2] + 128) >> 8) + 16;
    *u = ((-38 * p[0] - 74 * p[1] + 112 * p[2] + 128) >> 8) + 128;
    *v = ((112 * p[0] - 94 * p[1] - 18 * p[2] + 128) >> 8) + 128;
}

bool Fill(QVideoFrame* frame, const QImage& rgb, const std::string& jpeg) {
    if (!frame->isValid() || !frame->map(QVideoFrame::WriteOnly)) return false;
    const int w = rgb.width(), h = rgb.height();
    switch (frame->pixelFormat()) {
        case QVideoFrameFormat::Format_YUYV:
            for (int row = 0; row < h; ++row) {
                uchar* out = frame->bits(0) + row * frame->bytesPerLine(0);
                for (int x = 0; x + 1 < w; x += 2) {
                    int y0, y1, u, v;
                    Yuv(rgb.constScanLine(row) + 3 * x, &y0, &u, &v);
                    Yuv(rgb.constScanLine(row) + 3 * x + 3, &y1, &u, &v);
                    out[2 * x] = uchar(y0), out[2 * x + 1] = uchar(u);
                    out[2 * x + 2] = uchar(y1), out[2 * x + 3] = uchar(v);
                }
            }
            break;
        case QVideoFrameFormat::Format_NV12:
            for (int row = 0; row < h; ++row) {
                uchar* luma = frame->bits(0) + row * frame->bytesPerLine(0);
                uchar* chroma = frame->bits(1) + (row / 2) * frame->bytesPerLine(1);
                for (int x = 0; x < w; ++x) {
                    int y, u, v;
                    Yuv(rgb.constScanLine(row) + 3 * x, &y, &u, &v);
                    luma[x] = uchar(y);
                    if (row % 2 == 0 && x % 2 == 0) chroma[x] = uchar(u), chroma[x + 1] = uchar(v);
                }
            }
            break;
        default:  // Format_Jpeg: the compressed file, as a camera's MJPEG mode delivers it
            if (static_cast<std::size_t>(frame->mappedBytes(0)) < jpeg.size()) {
                frame->unmap();
                return false;
            }
            std::memcpy(frame->bits(0), jpeg.data(), jpeg.size());
            std::memset(frame->bits(0) + jpeg.size(), 0, frame->mappedBytes(0) - jpeg.size());
            break;
    }
    frame->unmap();
    return true;
}

void ConversionFigures(QVideoFrameFormat::PixelFormat format, const char* name, int width,
                       int height) {
    constexpr int kConversions = 100;
    const QImage rgb = MovingFrame(width, height, 7);
    const std::string jpeg = EncodeJpeg(rgb, 80);
    const QVideoFrameFormat frameFormat(QSize(width, height), format);
    // A fresh frame for every conversion, filled outside the timing: a frame may keep the
    // picture it has made once.
    std::vector<QVideoFrame> frames;
    for (int i = 0; i < kConversions; ++i) {
        frames.emplace_back(frameFormat);
        if (!Fill(&frames.back(), rgb, jpeg)) {
            std::printf("  %-5s %dx%d: cannot build a QVideoFrame of this format\n", name, width,
                        height);
            return;
        }
    }
    const auto start = Clock::now();
    QImage result;
    int bad = 0;
    for (QVideoFrame& frame : frames) {
        result = frame.toImage().convertToFormat(QImage::Format_RGB888);
        bad += result.size() != QSize(width, height);
    }
    const double perFrame = MicrosBetween(start, Clock::now()) / kConversions;
    if (bad == kConversions) {
        std::printf("  %-5s %dx%d: toImage() gives no picture for this format\n", name, width,
                    height);
        return;
    }
    std::printf("  %-5s %dx%d: toImage + convertToFormat(RGB888) %8.1f us/frame%s\n", name, width,
                height, perFrame, bad ? "  (some conversions failed)" : "");
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);

    std::printf("JPEG at quality %d (best of %d passes)\n", kVideoQuality, kPasses);
    CodecFigures(176, 144);
    CodecFigures(320, 240);

    std::printf("Camera frames to a 24-bit picture\n");
    for (const auto& [w, h] : {std::pair{176, 144}, std::pair{640, 480}}) {
        ConversionFigures(QVideoFrameFormat::Format_YUYV, "YUYV", w, h);
        ConversionFigures(QVideoFrameFormat::Format_NV12, "NV12", w, h);
        ConversionFigures(QVideoFrameFormat::Format_Jpeg, "MJPEG", w, h);
    }
    return 0;
}
