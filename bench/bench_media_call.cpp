// Voice latency of a call: a tone burst unmuted at one call until the other's output hears it,
// through two media::Call objects on 127.0.0.1 (ICE, DTLS-SRTP, webrtcbin's jitter buffer), and
// through a bare GStreamer pair (plain RTP over UDP, the same Opus settings and jitter buffer)
// in the same run. The times are from the sender's volume element to the decoded samples at the
// receiver's appsink: no sound card on either end.
#include <gst/app/gstappsink.h>
#include <gst/gst.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "media/call.h"
#include "media/call_pipeline.h"

namespace {

using Clock = std::chrono::steady_clock;
using quorell::media::Call;
using quorell::media::CallConfig;
using quorell::media::CallEvents;
using quorell::media::Candidate;
using quorell::media::Description;

constexpr double kToneHz = 1000;
constexpr double kHeardRms = 2000;  // the tone arrives near 11500; silence and concealment below

// Notes when the first loud block arrives after it is armed. Streaming threads call Block.
class Detector {
public:
    void Arm() {
        std::lock_guard lock(mutex_);
        armed_ = true;
        heard_ = false;
    }
    void Block(const std::int16_t* samples, std::size_t count) {
        double sum = 0;
        for (std::size_t i = 0; i < count; ++i) sum += double(samples[i]) * samples[i];
        const double rms = count ? std::sqrt(sum / count) : 0;
        std::lock_guard lock(mutex_);
        if (armed_ && rms > kHeardRms) {
            armed_ = false;
            heard_ = true;
            at_ = Clock::now();
        }
    }
    bool Heard(Clock::time_point* at) {
        std::lock_guard lock(mutex_);
        if (heard_) *at = at_;
        return heard_;
    }

private:
    std::mutex mutex_;
    bool armed_ = false;
    bool heard_ = false;
    Clock::time_point at_;
};

struct Figures {
    std::vector<double> ms;
    int missed = 0;
};

// `bursts` times: silence for a while, then the tone unmuted until the detector hears it.
Figures Measure(int bursts, Detector& detector, const std::function<void(bool)>& mute,
                const std::function<void()>& pump) {
    Figures figures;
    for (int i = 0; i < bursts; ++i) {
        mute(true);
        const auto quiet_until = Clock::now() + std::chrono::milliseconds(300);
        while (Clock::now() < quiet_until) {
            pump();
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        detector.Arm();
        const auto start = Clock::now();
        mute(false);
        Clock::time_point heard;
        while (!detector.Heard(&heard) && Clock::now() - start < std::chrono::seconds(2)) {
            pump();
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        if (detector.Heard(&heard)) {
            figures.ms.push_back(std::chrono::duration<double, std::milli>(heard - start).count());
        } else {
            ++figures.missed;
        }
    }
    return figures;
}

void Print(const char* what, Figures figures) {
    if (figures.ms.empty()) {
        std::printf("%-34s no burst heard (%d missed)\n", what, figures.missed);
        return;
    }
    std::sort(figures.ms.begin(), figures.ms.end());
    std::printf("%-34s median %6.1f ms  worst %6.1f ms  (%zu bursts, %d missed)\n", what,
                figures.ms[figures.ms.size() / 2], figures.ms.back(), figures.ms.size(),
                figures.missed);
}

Figures ThroughCalls(int bursts, int frame_ms, unsigned jitter_ms) {
    Detector detector;
    std::mutex mutex;
    std::deque<std::variant<Description, Candidate>> to_a, to_b;
    auto events = [&mutex](auto& queue) {
        CallEvents e;
        e.on_description = [&mutex, &queue](const Description& d) {
            std::lock_guard lock(mutex);
            queue.push_back(d);
        };
        e.on_candidate = [&mutex, &queue](const Candidate& c) {
            std::lock_guard lock(mutex);
            queue.push_back(c);
        };
        e.on_problem = [](const std::string& text) { std::fprintf(stderr, "%s\n", text.c_str()); };
        return e;
    };
    CallConfig a;
    a.dialling = true;
    a.voice_source.kind = quorell::media::VoiceSource::Kind::kTone;
    a.voice_source.tone_hz = kToneHz;
    a.voice_frame_ms = frame_ms;
    a.jitter_ms = jitter_ms;
    a.peer_address = "127.0.0.1";
    a.local_addresses = {"127.0.0.1"};
    a.voice_output.on_samples = [](const quorell::media::VoiceSamples&) {};
    CallConfig b = a;
    b.dialling = false;
    b.voice_source.kind = quorell::media::VoiceSource::Kind::kNone;
    b.voice_output.on_samples = [&detector](const quorell::media::VoiceSamples& s) {
        detector.Block(s.samples, s.frames * s.channels);
    };
    Call call_a(a, events(to_b));
    Call call_b(b, events(to_a));
    auto deliver = [&mutex](auto& queue, Call& call) {
        std::deque<std::variant<Description, Candidate>> items;
        {
            std::lock_guard lock(mutex);
            items.swap(queue);
        }
        for (auto& item : items) {
            if (auto* d = std::get_if<Description>(&item)) {
                call.HandleDescription(*d);
            } else {
                call.HandleCandidate(std::get<Candidate>(item));
            }
        }
    };
    auto pump = [&] {
        deliver(to_b, call_b);
        deliver(to_a, call_a);
    };
    call_a.SetVoiceMuted(true);
    if (auto error = call_b.Start()) std::fprintf(stderr, "%s\n", error->c_str());
    if (auto error = call_a.Start()) std::fprintf(stderr, "%s\n", error->c_str());
    const auto until = Clock::now() + std::chrono::seconds(10);
    while (call_b.State() != quorell::media::CallState::kConnected && Clock::now() < until) {
        pump();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return Measure(
        bursts, detector, [&](bool m) { call_a.SetVoiceMuted(m); }, pump);
}

GstFlowReturn OnBareSample(GstAppSink* sink, gpointer data) {
    GstSample* sample = gst_app_sink_pull_sample(sink);
    if (!sample) return GST_FLOW_EOS;
    GstMapInfo map;
    GstBuffer* buffer = gst_sample_get_buffer(sample);
    if (gst_buffer_map(buffer, &map, GST_MAP_READ)) {
        static_cast<Detector*>(data)->Block(reinterpret_cast<const std::int16_t*>(map.data),
                                            map.size / 2);
        gst_buffer_unmap(buffer, &map);
    }
    gst_sample_unref(sample);
    return GST_FLOW_OK;
}

Figures ThroughBarePipelines(int bursts, int frame_ms, unsigned jitter_ms) {
    Detector detector;
    const std::string receive =
        std::string("udpsrc address=127.0.0.1 port=0 caps=\"") +
        quorell::media::detail::kVoiceRtpCaps +
        "\" ! rtpjitterbuffer do-lost=true latency=" + std::to_string(jitter_ms) +
        " ! rtpopusdepay ! " + quorell::media::detail::kOpusDecoder +
        " ! audioconvert ! audioresample ! audio/x-raw,format=S16LE,rate=48000,channels=1"
        " ! appsink name=out sync=false async=false";
    GError* error = nullptr;
    GstElement* rx = gst_parse_launch(receive.c_str(), &error);
    if (!rx) {
        std::fprintf(stderr, "receiver: %s\n", error ? error->message : "?");
        return {};
    }
    GstElement* out = gst_bin_get_by_name(GST_BIN(rx), "out");
    GstAppSinkCallbacks callbacks = {};
    callbacks.new_sample = OnBareSample;
    gst_app_sink_set_callbacks(GST_APP_SINK(out), &callbacks, &detector, nullptr);
    gst_object_unref(out);
    gst_element_set_state(rx, GST_STATE_PLAYING);
    gst_element_get_state(rx, nullptr, nullptr, GST_SECOND);
    GstElement* udpsrc = gst_bin_get_by_name(GST_BIN(rx), "udpsrc0");
    int port = 0;
    g_object_get(udpsrc, "port", &port, nullptr);
    gst_object_unref(udpsrc);
    char tone[64];
    std::snprintf(tone, sizeof tone, "%g", kToneHz);
    const std::string send =
        std::string("audiotestsrc is-live=true wave=sine volume=0.5 samplesperbuffer=480 freq=") +
        tone +
        " ! audioconvert ! audioresample ! audio/x-raw,format=S16LE,rate=48000,channels=1"
        " ! volume name=mute mute=true ! " +
        quorell::media::detail::OpusEncoder(frame_ms) +
        " ! rtpopuspay pt=111 ! udpsink host=127.0.0.1 sync=false async=false port=" +
        std::to_string(port);
    GstElement* tx = gst_parse_launch(send.c_str(), &error);
    if (!tx) {
        std::fprintf(stderr, "sender: %s\n", error ? error->message : "?");
        gst_element_set_state(rx, GST_STATE_NULL);
        gst_object_unref(rx);
        return {};
    }
    GstElement* mute = gst_bin_get_by_name(GST_BIN(tx), "mute");
    gst_element_set_state(tx, GST_STATE_PLAYING);
    Figures figures = Measure(
        bursts, detector, [&](bool m) { g_object_set(mute, "mute", m ? TRUE : FALSE, nullptr); },
        [] {});
    gst_object_unref(mute);
    gst_element_set_state(tx, GST_STATE_NULL);
    gst_element_set_state(rx, GST_STATE_NULL);
    gst_object_unref(tx);
    gst_object_unref(rx);
    return figures;
}

int Option(int argc, char** argv, const char* name, int fallback) {
    const std::size_t n = std::strlen(name);
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], name, n) == 0 && argv[i][n] == '=')
            return std::atoi(argv[i] + n + 1);
    }
    return fallback;
}

}  // namespace

int main(int argc, char** argv) {
    gst_init(&argc, &argv);
    const int bursts = Option(argc, argv, "--bursts", 20);
    const int frame_ms = Option(argc, argv, "--frame-ms", 20);
    const int jitter_ms = Option(argc, argv, "--jitter-ms", 40);
    std::printf("voice, tone burst unmuted to heard: %d ms Opus frames, %d ms jitter buffer\n",
                frame_ms, jitter_ms);
    Print("two calls (webrtcbin, DTLS-SRTP)", ThroughCalls(bursts, frame_ms, jitter_ms));
    Print("bare RTP Opus over UDP", ThroughBarePipelines(bursts, frame_ms, jitter_ms));
    return 0;
}
