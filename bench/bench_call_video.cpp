// A call's video, glass to glass: 640x480 pictures at 30 fps with their number drawn into them
// as blocks, pushed into one media::Call (VideoSource::kFrames) and read back from the other's
// on_frame, on 127.0.0.1. Then the same pictures through a bare GStreamer pair built of the
// call's own sending and receiving parts (the same scaling, VP8 settings and decoder), plain RTP
// over UDP with a jitter buffer of the call's latency. Prints the frames shown per second, the
// frames lost, the delay from push to on_frame, and the processor time of the whole process
// per frame shown.
#include <gst/app/gstappsrc.h>
#include <sys/resource.h>

#include <atomic>

#include "bench_call_support.h"
#include "media/call_pipeline.h"

namespace {

using namespace quorell::bench;
using quorell::media::CallConfig;
using quorell::media::VideoFrame;
using quorell::media::VideoSource;

constexpr int kWidth = 640, kHeight = 480, kFps = 30;
constexpr int kBlock = 16, kBits = 32;  // the number and its complement, a row of blocks each

// A moving picture with frame `n` drawn into its two top rows of blocks.
void Draw(std::vector<std::uint8_t>& rgb, std::uint32_t n) {
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            std::uint8_t* p = &rgb[(y * kWidth + x) * 3];
            p[0] = std::uint8_t(x + n * 4);
            p[1] = std::uint8_t(y + n * 2);
            p[2] = std::uint8_t((x ^ y) + n);
        }
    }
    for (int row = 0; row < 2; ++row) {
        const std::uint32_t word = row == 0 ? n : ~n;
        for (int b = 0; b < kBits; ++b) {
            const std::uint8_t v = (word >> b) & 1 ? 255 : 0;
            for (int y = row * kBlock; y < (row + 1) * kBlock; ++y) {
                std::uint8_t* p = &rgb[(y * kWidth + b * kBlock) * 3];
                std::fill(p, p + kBlock * 3, v);
            }
        }
    }
}

// The number drawn into a picture, or -1 when the two rows do not agree.
long Read(const VideoFrame& f) {
    if (f.width != kWidth || f.height != kHeight) return -1;
    std::uint32_t words[2] = {0, 0};
    for (int row = 0; row < 2; ++row) {
        for (int b = 0; b < kBits; ++b) {
            int sum = 0;
            for (int y = row * kBlock + 4; y < row * kBlock + 12; ++y) {
                const std::uint8_t* p = f.rgb + y * f.stride + (b * kBlock + 4) * 3;
                for (int i = 0; i < 8 * 3; ++i) sum += p[i];
            }
            if (sum > 128 * 8 * 8 * 3) words[row] |= 1u << b;
        }
    }
    return words[0] == ~words[1] ? long(words[0]) : -1;
}

double CpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// What the receiving end saw: shown pictures by number with their delay. Streaming threads.
struct Seen {
    std::mutex mutex;
    std::vector<Clock::time_point> pushed;  // by frame number
    std::vector<double> delay_ms;
    std::vector<bool> shown;
    std::atomic<std::uint32_t> first_counted{~0u}, last_counted{0};
    std::atomic<int> unreadable{0};

    void OnFrame(const VideoFrame& f) {
        const auto now = Clock::now();
        const long n = Read(f);
        std::lock_guard lock(mutex);
        if (n < 0 || std::size_t(n) >= pushed.size()) {
            ++unreadable;
            return;
        }
        if (std::uint32_t(n) < first_counted || std::uint32_t(n) > last_counted || shown[n]) return;
        shown[n] = true;
        delay_ms.push_back(std::chrono::duration<double, std::milli>(now - pushed[n]).count());
    }
};

struct Figures {
    double fps = 0, cpu_ms = 0, median = NAN, worst = NAN;
    int lost = 0, shown = 0, unreadable = 0;
};

// Pushes `seconds` of pictures at 30 fps through `push`, the first two seconds not counted.
Figures Run(int seconds, Seen& seen, const std::function<void(const std::uint8_t*)>& push,
            const std::function<void(int)>& wait) {
    const int warm = 2 * kFps, total = (seconds + 2) * kFps;
    {
        std::lock_guard lock(seen.mutex);
        seen.pushed.assign(total, Clock::time_point{});
        seen.shown.assign(total, false);
    }
    seen.first_counted = warm;
    seen.last_counted = total - 1;
    std::vector<std::uint8_t> rgb(kWidth * kHeight * 3);
    const auto start = Clock::now();
    double cpu_start = 0;
    for (int n = 0; n < total; ++n) {
        if (n == warm) cpu_start = CpuSeconds();
        const auto due = start + std::chrono::microseconds(n * 1000000LL / kFps);
        Draw(rgb, n);
        const auto until_due =
            std::chrono::duration_cast<std::chrono::milliseconds>(due - Clock::now());
        if (until_due.count() > 0) wait(int(until_due.count()));
        while (Clock::now() < due) std::this_thread::yield();
        {
            std::lock_guard lock(seen.mutex);
            seen.pushed[n] = Clock::now();
        }
        push(rgb.data());
    }
    wait(500);
    Figures f;
    const double cpu = CpuSeconds() - cpu_start;
    std::lock_guard lock(seen.mutex);
    f.shown = int(seen.delay_ms.size());
    f.lost = (total - warm) - f.shown;
    f.fps = f.shown / double(seconds);
    f.cpu_ms = f.shown ? cpu * 1000 / f.shown : NAN;
    f.median = MedianOf(seen.delay_ms);
    f.worst = WorstOf(seen.delay_ms);
    f.unreadable = seen.unreadable;
    return f;
}

CallConfig VideoConfig() {
    CallConfig c;
    c.voice = false;
    c.video = true;
    c.video_width = kWidth;
    c.video_height = kHeight;
    c.video_fps = kFps;
    return c;
}

Figures ThroughCalls(int seconds) {
    Seen seen;
    CallConfig a = VideoConfig(), b = VideoConfig();
    a.video_source.kind = VideoSource::Kind::kFrames;
    b.video_source.kind = VideoSource::Kind::kNone;
    b.video_output.on_frame = [&seen](const VideoFrame& f) { seen.OnFrame(f); };
    CallPair pair(a, b);
    if (!pair.Connect()) return {};
    pair.Wait(500);
    return Run(
        seconds, seen,
        [&](const std::uint8_t* rgb) { pair.a().PushVideoFrame(rgb, kWidth, kHeight, kWidth * 3); },
        [&](int ms) { pair.Wait(ms); });
}

Figures ThroughBarePair(int seconds) {
    Seen seen;
    CallConfig c = VideoConfig();
    c.video_source.kind = VideoSource::Kind::kFrames;
    c.video_output.on_frame = [&seen](const VideoFrame& f) { seen.OnFrame(f); };
    std::string error;
    GstElement* rx = Launch(std::string("udpsrc name=in address=127.0.0.1 port=0 caps=\"") +
                            quorell::media::detail::kVideoRtpCaps +
                            "\" ! rtpjitterbuffer name=jb latency=" + std::to_string(c.jitter_ms));
    GstElement* tx = Launch("udpsink name=out host=127.0.0.1 sync=false async=false");
    GstElement* receiver = quorell::media::detail::MakeVideoReceiver(c, &error);
    GstElement* sender = quorell::media::detail::MakeVideoSender(c, &error);
    if (!rx || !tx || !receiver || !sender) {
        std::fprintf(stderr, "bare pair: %s\n", error.c_str());
        return {};
    }
    gst_bin_add(GST_BIN(rx), receiver);
    GstElement* jb = gst_bin_get_by_name(GST_BIN(rx), "jb");
    gst_element_link(jb, receiver);
    gst_object_unref(jb);
    gst_element_set_state(rx, GST_STATE_PLAYING);
    GstElement* udpsrc = gst_bin_get_by_name(GST_BIN(rx), "in");
    int port = 0;
    g_object_get(udpsrc, "port", &port, nullptr);
    gst_object_unref(udpsrc);
    // A launch text of one element is that element, not a bin: the sender goes beside it.
    GstElement* pipeline = gst_pipeline_new("bare-tx");
    g_object_set(tx, "port", port, nullptr);
    gst_bin_add_many(GST_BIN(pipeline), sender, tx, nullptr);
    gst_element_link(sender, tx);
    GstElement* cam = gst_bin_get_by_name(GST_BIN(sender), "cam");
    GstCaps* caps = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "RGB", "width",
                                        G_TYPE_INT, kWidth, "height", G_TYPE_INT, kHeight,
                                        "framerate", GST_TYPE_FRACTION, 0, 1, nullptr);
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    auto sleep = [](int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); };
    sleep(500);
    Figures f = Run(
        seconds, seen,
        [&](const std::uint8_t* rgb) {
            // As the call copies a pushed picture: rows padded to four bytes (640 * 3 already is).
            GstBuffer* buffer = gst_buffer_new_allocate(nullptr, kWidth * kHeight * 3, nullptr);
            gst_buffer_fill(buffer, 0, rgb, kWidth * kHeight * 3);
            GstSample* sample = gst_sample_new(buffer, caps, nullptr, nullptr);
            gst_buffer_unref(buffer);
            gst_app_src_push_sample(GST_APP_SRC(cam), sample);
            gst_sample_unref(sample);
        },
        sleep);
    gst_caps_unref(caps);
    gst_object_unref(cam);
    Dispose(pipeline);
    Dispose(rx);
    return f;
}

void Print(const char* what, const Figures& f) {
    std::printf("| %-26s | %6.1f | %5d | %5d | %8.1f | %8.1f | %8.2f |\n", what, f.fps, f.lost,
                f.unreadable, f.median, f.worst, f.cpu_ms);
}

}  // namespace

int main(int argc, char** argv) {
    gst_init(&argc, &argv);
    const int seconds = Option(argc, argv, "--seconds", 10);
    const int rounds = Option(argc, argv, "--rounds", 2);
    std::printf("video 640x480 at 30 fps, pushed pictures, %d s counted per run\n", seconds);
    std::printf("| %-26s | %6s | %5s | %5s | %8s | %8s | %8s |\n", "path", "fps", "lost", "unrd",
                "median", "worst", "cpu ms");
    std::printf(
        "|----------------------------|--------|-------|-------|----------|----------|----------|"
        "\n");
    for (int r = 0; r < rounds; ++r) {
        Print("two calls (webrtcbin)", ThroughCalls(seconds));
        Print("bare RTP VP8 over UDP", ThroughBarePair(seconds));
    }
    std::printf(
        "(median, worst: push to on_frame in ms; cpu ms: processor time of the process "
        "per frame shown, drawing included; unrd: pictures whose number was unreadable)\n");
    return 0;
}
