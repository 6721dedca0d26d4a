// The pictures the owner pushes (VideoSource::kFrames): copied into GStreamer's buffers and
// handed to the video sender's appsrc, which scales them to the call's size and encodes them.
#include <gst/app/gstappsrc.h>

#include <algorithm>

#include "media/call_impl.h"

namespace quorell::media {
namespace {

// Larger pictures than this are refused rather than copied.
constexpr int kMaxSide = 8192;

}  // namespace

void Call::Impl::HoldFrames() {
    std::lock_guard lock(frames_mutex);
    if (config.video_source.kind != VideoSource::Kind::kFrames || !video_sender) return;
    frames = gst_bin_get_by_name(GST_BIN(video_sender), "cam");
}

void Call::Impl::ReleaseFrames() {
    std::lock_guard lock(frames_mutex);
    if (frames) gst_object_unref(frames);
    frames = nullptr;
    if (frames_caps) gst_caps_unref(frames_caps);
    frames_caps = nullptr;
}

void Call::PushVideoFrame(const std::uint8_t* rgb, int width, int height, int stride) {
    Impl& d = *impl_;
    if (!rgb || width <= 0 || height <= 0 || width > kMaxSide || height > kMaxSide ||
        stride < width * 3) {
        return;
    }
    {
        std::lock_guard lock(d.frames_mutex);
        if (!d.frames) return;  // not started, or no pushed pictures in this call
    }
    // GStreamer's packed RGB rows are padded to four bytes.
    const gsize row = static_cast<gsize>(width) * 3;
    const gsize padded = (row + 3) & ~gsize(3);
    GstBuffer* buffer = gst_buffer_new_allocate(nullptr, padded * height, nullptr);
    GstMapInfo map;
    if (!buffer || !gst_buffer_map(buffer, &map, GST_MAP_WRITE)) {
        if (buffer) gst_buffer_unref(buffer);
        return;
    }
    for (int y = 0; y < height; ++y) {
        std::uint8_t* out = map.data + padded * y;
        std::copy_n(rgb + static_cast<std::size_t>(stride) * y, row, out);
        std::fill(out + row, out + padded, std::uint8_t(0));
    }
    gst_buffer_unmap(buffer, &map);

    std::lock_guard lock(d.frames_mutex);
    if (!d.frames) {
        gst_buffer_unref(buffer);
        return;
    }
    int caps_width = 0, caps_height = 0;
    if (d.frames_caps) {
        const GstStructure* s = gst_caps_get_structure(d.frames_caps, 0);
        gst_structure_get_int(s, "width", &caps_width);
        gst_structure_get_int(s, "height", &caps_height);
    }
    if (caps_width != width || caps_height != height) {
        if (d.frames_caps) gst_caps_unref(d.frames_caps);
        d.frames_caps = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "RGB", "width",
                                            G_TYPE_INT, width, "height", G_TYPE_INT, height,
                                            "framerate", GST_TYPE_FRACTION, 0, 1, nullptr);
    }
    GstSample* sample = gst_sample_new(buffer, d.frames_caps, nullptr, nullptr);
    gst_buffer_unref(buffer);
    // Never blocks: the source drops its oldest picture when full, and refuses (flushing) while
    // the pipeline is not playing.
    gst_app_src_push_sample(GST_APP_SRC(d.frames), sample);
    gst_sample_unref(sample);
}

}  // namespace quorell::media
