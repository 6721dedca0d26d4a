#include "video/jpeg_codec.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>  // jpeglib.h needs FILE and size_t first
#include <exception>
#include <string>

#include <jpeglib.h>
// after jpeglib.h, which it needs
#include <jerror.h>

namespace quorell {

namespace {

// libjpeg reports a fatal error through error_exit, which by default prints and calls exit().
// Ours jumps back to the setjmp in the function that runs the codec; that function then
// destroys the codec object and reports the failure. Between setjmp and a longjmp, only
// libjpeg (C) frames and frames without live C++ objects lie on the stack.
struct ErrorManager {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
};

[[noreturn]] void JumpOnError(j_common_ptr cinfo) {
    std::longjmp(reinterpret_cast<ErrorManager*>(cinfo->err)->jump, 1);
}

void IgnoreMessage(j_common_ptr /*cinfo*/) {}
// Warnings (corrupt entropy data, a premature end of data) are not errors: libjpeg carries on
// and fills in what it cannot read.
void IgnoreWarning(j_common_ptr /*cinfo*/, int /*msg_level*/) {}

jpeg_error_mgr* InstallErrorManager(ErrorManager* err) {
    jpeg_std_error(&err->pub);
    err->pub.error_exit = JumpOnError;
    err->pub.output_message = IgnoreMessage;
    err->pub.emit_message = IgnoreWarning;
    return &err->pub;
}

// Compressed output straight into a std::string that grows as needed.
struct StringDestination {
    jpeg_destination_mgr pub;
    std::string* bytes;
    std::size_t initial_size;
};

StringDestination* DestinationOf(j_compress_ptr cinfo) {
    return reinterpret_cast<StringDestination*>(cinfo->dest);
}

// Grows the string; a failure to allocate becomes a libjpeg error. The jump is made only
// after the catch block has been left, so no exception is left half-handled.
void GrowTo(j_compress_ptr cinfo, std::size_t size) {
    bool failed = false;
    try {
        DestinationOf(cinfo)->bytes->resize(size);
    } catch (const std::exception&) {
        failed = true;
    }
    if (failed) {
        cinfo->err->msg_code = JERR_OUT_OF_MEMORY;
        cinfo->err->error_exit(reinterpret_cast<j_common_ptr>(cinfo));
    }
}

void InitDestination(j_compress_ptr cinfo) {
    StringDestination* dest = DestinationOf(cinfo);
    GrowTo(cinfo, dest->initial_size);
    dest->pub.next_output_byte = reinterpret_cast<JOCTET*>(dest->bytes->data());
    dest->pub.free_in_buffer = dest->bytes->size();
}

// Called when the whole buffer is full.
boolean EmptyOutputBuffer(j_compress_ptr cinfo) {
    StringDestination* dest = DestinationOf(cinfo);
    const std::size_t used = dest->bytes->size();
    GrowTo(cinfo, used * 2);
    dest->pub.next_output_byte = reinterpret_cast<JOCTET*>(dest->bytes->data()) + used;
    dest->pub.free_in_buffer = dest->bytes->size() - used;
    return TRUE;
}

void TermDestination(j_compress_ptr cinfo) {
    StringDestination* dest = DestinationOf(cinfo);
    dest->bytes->resize(dest->bytes->size() - dest->pub.free_in_buffer);
}

// Rows handed to libjpeg per call.
constexpr int kRowBatch = 16;

// A progressive file can make the decoder pass over the whole picture once per scan; a real
// one has about ten. More than this many is refused, so a small datagram cannot keep the
// user-interface thread busy for seconds.
constexpr int kMaxProgressiveScans = 100;
// libjpeg's own working memory (the coefficient buffer of a progressive picture).
constexpr long kMaxDecoderMemory = 64L * 1024 * 1024;

void LimitScans(j_common_ptr cinfo) {
    if (!cinfo->is_decompressor) return;
    const auto* dinfo = reinterpret_cast<j_decompress_ptr>(cinfo);
    if (dinfo->input_scan_number > kMaxProgressiveScans) {
        cinfo->err->msg_code = JERR_NOT_COMPILED;
        cinfo->err->error_exit(cinfo);
    }
}

}  // namespace

std::string EncodeJpeg(const QImage& picture, int quality) {
    if (picture.isNull()) return {};
    const QImage rgb = picture.format() == QImage::Format_RGB888
                           ? picture
                           : picture.convertToFormat(QImage::Format_RGB888);
    if (rgb.isNull()) return {};

    std::string bytes;
    jpeg_compress_struct cinfo;
    ErrorManager err;
    StringDestination dest{};
    dest.bytes = &bytes;
    dest.initial_size = static_cast<std::size_t>(rgb.width()) * rgb.height() / 4 + 1024;
    dest.pub.init_destination = InitDestination;
    dest.pub.empty_output_buffer = EmptyOutputBuffer;
    dest.pub.term_destination = TermDestination;

    cinfo.err = InstallErrorManager(&err);
    if (setjmp(err.jump)) {
        jpeg_destroy_compress(&cinfo);
        return {};
    }
    jpeg_create_compress(&cinfo);
    cinfo.dest = &dest.pub;
    cinfo.image_width = static_cast<JDIMENSION>(rgb.width());
    cinfo.image_height = static_cast<JDIMENSION>(rgb.height());
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality, TRUE);
    jpeg_start_compress(&cinfo, TRUE);

    const uchar* bits = rgb.constBits();
    const qsizetype stride = rgb.bytesPerLine();
    JSAMPROW rows[kRowBatch];
    while (cinfo.next_scanline < cinfo.image_height) {
        const JDIMENSION first = cinfo.next_scanline;
        const int count = static_cast<int>(
            std::min<JDIMENSION>(kRowBatch, cinfo.image_height - cinfo.next_scanline));
        for (int i = 0; i < count; ++i) {
            rows[i] = const_cast<JSAMPROW>(bits + (first + i) * stride);
        }
        jpeg_write_scanlines(&cinfo, rows, static_cast<JDIMENSION>(count));
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    return bytes;
}

std::string EncodeFrameForWire(const QImage& frame) {
    std::string whole = EncodeJpeg(frame);
    if (whole.size() <= kMaxVideoDatagram) return whole;
    const QImage half =
        frame.scaled(std::max(1, frame.width() / 2), std::max(1, frame.height() / 2),
                     Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    std::string smaller = EncodeJpeg(half);
    if (smaller.size() > kMaxVideoDatagram) smaller.resize(kMaxVideoDatagram);
    return smaller;
}

DecodeResult DecodeJpeg(std::string_view data, QImage* out) {
    // Nothing at all gets as far as the pixels, like a file whose data are bad.
    if (data.empty() || out == nullptr) return DecodeResult::BadData;

    jpeg_decompress_struct cinfo;
    ErrorManager err;
    jpeg_progress_mgr progress{};
    progress.progress_monitor = LimitScans;
    volatile bool header_read = false;

    cinfo.err = InstallErrorManager(&err);
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&cinfo);
        return header_read ? DecodeResult::BadData : DecodeResult::BadHeader;
    }
    jpeg_create_decompress(&cinfo);
    cinfo.progress = &progress;
    cinfo.mem->max_memory_to_use = kMaxDecoderMemory;
    // The standard memory source answers the end of data with a warning and a fake end marker.
    jpeg_mem_src(&cinfo, reinterpret_cast<const unsigned char*>(data.data()),
                 static_cast<unsigned long>(data.size()));
    jpeg_read_header(&cinfo, TRUE);
    header_read = true;

    if (cinfo.image_width == 0 || cinfo.image_height == 0 ||
        cinfo.image_width > static_cast<JDIMENSION>(kMaxDecodedWidth) ||
        cinfo.image_height > static_cast<JDIMENSION>(kMaxDecodedHeight) ||
        static_cast<long>(cinfo.image_width) * static_cast<long>(cinfo.image_height) >
            kMaxDecodedPixels) {
        jpeg_destroy_decompress(&cinfo);
        return DecodeResult::BadHeader;
    }
    cinfo.out_color_space = JCS_RGB;
    jpeg_start_decompress(&cinfo);

    const int width = static_cast<int>(cinfo.output_width);
    const int height = static_cast<int>(cinfo.output_height);
    if (cinfo.output_components != 3) {
        jpeg_destroy_decompress(&cinfo);
        return DecodeResult::BadData;
    }
    if (out->width() != width || out->height() != height ||
        out->format() != QImage::Format_RGB888) {
        *out = QImage(width, height, QImage::Format_RGB888);
        if (out->isNull()) {
            jpeg_destroy_decompress(&cinfo);
            return DecodeResult::BadData;
        }
    }
    uchar* bits = out->bits();  // detaches a shared picture once, here
    const qsizetype stride = out->bytesPerLine();
    JSAMPROW rows[kRowBatch];
    while (cinfo.output_scanline < cinfo.output_height) {
        const JDIMENSION first = cinfo.output_scanline;
        const int count = static_cast<int>(
            std::min<JDIMENSION>(kRowBatch, cinfo.output_height - cinfo.output_scanline));
        for (int i = 0; i < count; ++i) rows[i] = bits + (first + i) * stride;
        if (jpeg_read_scanlines(&cinfo, rows, static_cast<JDIMENSION>(count)) == 0) {
            jpeg_destroy_decompress(&cinfo);  // the memory source never suspends; be safe
            return DecodeResult::BadData;
        }
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return DecodeResult::Decoded;
}

}  // namespace quorell
