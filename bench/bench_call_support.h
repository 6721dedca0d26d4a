// Pieces shared by the call benchmarks: two media::Call objects on 127.0.0.1 with their
// signaling carried by the benchmark's thread, null sinks of the sound server made and removed
// through pactl, a recorder of sound-server sources that keeps every sample with its running
// time, and GStreamer pipelines from launch text.
#pragma once

#include <gst/app/gstappsink.h>
#include <gst/gst.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "media/call.h"

namespace quorell::bench {

using Clock = std::chrono::steady_clock;

inline int Option(int argc, char** argv, const char* name, int fallback) {
    const std::size_t n = std::strlen(name);
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], name, n) == 0 && argv[i][n] == '=')
            return std::atoi(argv[i] + n + 1);
    }
    return fallback;
}

inline double MedianOf(std::vector<double> v) {
    if (v.empty()) return NAN;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

inline double WorstOf(const std::vector<double>& v) {
    return v.empty() ? NAN : *std::max_element(v.begin(), v.end());
}

// Two calls, `a` dialling; the descriptions and candidates wait in queues until Pump hands them
// over on the benchmark's thread (the calls' owning thread).
class CallPair {
public:
    CallPair(media::CallConfig a, media::CallConfig b) {
        for (media::CallConfig* c : {&a, &b}) {
            c->peer_address = "127.0.0.1";
            c->local_addresses = {"127.0.0.1"};
        }
        a.dialling = true;
        b.dialling = false;
        a_ = std::make_unique<media::Call>(std::move(a), Events(to_b_));
        b_ = std::make_unique<media::Call>(std::move(b), Events(to_a_));
    }
    ~CallPair() {
        a_->Stop();
        b_->Stop();
    }
    media::Call& a() { return *a_; }
    media::Call& b() { return *b_; }

    // Starts both and carries their signaling until both are connected.
    bool Connect(std::chrono::seconds limit = std::chrono::seconds(15)) {
        for (media::Call* c : {b_.get(), a_.get()}) {
            if (auto error = c->Start()) {
                std::fprintf(stderr, "call: %s\n", error->c_str());
                return false;
            }
        }
        const auto until = Clock::now() + limit;
        while (Clock::now() < until) {
            Pump();
            if (a_->State() == media::CallState::kConnected &&
                b_->State() == media::CallState::kConnected)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        std::fprintf(stderr, "call: not connected (%s, %s)\n", media::Describe(a_->State()),
                     media::Describe(b_->State()));
        return false;
    }
    void Pump() {
        Deliver(to_b_, *b_);
        Deliver(to_a_, *a_);
    }
    // Sleeps `ms` while carrying the signaling.
    void Wait(int ms) {
        const auto until = Clock::now() + std::chrono::milliseconds(ms);
        while (Clock::now() < until) {
            Pump();
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }

private:
    struct Queue {
        std::mutex mutex;
        std::deque<std::variant<media::Description, media::Candidate>> items;
    };
    static media::CallEvents Events(Queue& q) {
        media::CallEvents e;
        e.on_description = [&q](const media::Description& d) {
            std::lock_guard lock(q.mutex);
            q.items.push_back(d);
        };
        e.on_candidate = [&q](const media::Candidate& c) {
            std::lock_guard lock(q.mutex);
            q.items.push_back(c);
        };
        e.on_problem = [](const std::string& text) { std::fprintf(stderr, "%s\n", text.c_str()); };
        return e;
    }
    static void Deliver(Queue& q, media::Call& call) {
        std::deque<std::variant<media::Description, media::Candidate>> items;
        {
            std::lock_guard lock(q.mutex);
            items.swap(q.items);
        }
        for (auto& item : items) {
            if (auto* d = std::get_if<media::Description>(&item)) {
                call.HandleDescription(*d);
            } else {
                call.HandleCandidate(std::get<media::Candidate>(item));
            }
        }
    }
    Queue to_a_, to_b_;
    std::unique_ptr<media::Call> a_, b_;
};

// A null sink of the sound server (its monitor is the source "<name>.monitor"), 48 kHz mono,
// unloaded when destroyed. Any module left by an earlier run under the same name goes first.
class NullSink {
public:
    explicit NullSink(const std::string& name) {
        Unload("$(pactl list short modules | awk '/module-null-sink/ && /sink_name=" + name +
               "( |$)/ {print $1}')");
        const std::string command = "pactl load-module module-null-sink sink_name=" + name +
                                    " rate=48000 channels=1 format=s16le norewinds=1 2>/dev/null";
        if (FILE* p = popen(command.c_str(), "r")) {
            char line[64] = {};
            if (std::fgets(line, sizeof line, p)) index_ = std::atoi(line);
            if (pclose(p) != 0) index_ = -1;
        }
        if (index_ < 0)
            std::fprintf(stderr, "pactl could not make the null sink %s\n", name.c_str());
    }
    ~NullSink() {
        if (index_ >= 0) Unload(std::to_string(index_));
    }
    NullSink(const NullSink&) = delete;
    NullSink& operator=(const NullSink&) = delete;
    bool ok() const { return index_ >= 0; }

private:
    static void Unload(const std::string& which) {
        const std::string command =
            "for m in " + which + "; do pactl unload-module $m; done 2>/dev/null";
        if (std::system(command.c_str()) != 0) std::fprintf(stderr, "pactl unload failed\n");
    }
    int index_ = -1;
};

inline GstElement* Launch(const std::string& text) {
    GError* error = nullptr;
    GstElement* p = gst_parse_launch(text.c_str(), &error);
    if (!p || error) {
        std::fprintf(stderr, "pipeline: %s\n  %s\n", error ? error->message : "?", text.c_str());
        g_clear_error(&error);
        if (p) gst_object_unref(p);
        return nullptr;
    }
    return p;
}

// The pipeline runs on the monotonic system clock, as a call's does.
inline void UseSystemClock(GstElement* p) {
    GstClock* clock = gst_system_clock_obtain();
    gst_pipeline_use_clock(GST_PIPELINE(p), clock);
    gst_object_unref(clock);
}

inline void Dispose(GstElement*& p) {
    if (!p) return;
    gst_element_set_state(p, GST_STATE_NULL);
    gst_object_unref(p);
    p = nullptr;
}

inline void SetProperty(GstElement* bin, const char* name, const char* property, bool value) {
    GstElement* e = gst_bin_get_by_name(GST_BIN(bin), name);
    if (!e) return;
    g_object_set(e, property, value ? TRUE : FALSE, nullptr);
    gst_object_unref(e);
}

// Records sound-server sources, all in one pipeline on the system clock, keeping every 16-bit
// mono sample at 48 kHz with the running time of the buffer it came in. Now() is that running
// time, so the benchmark notes when it acted on the same scale as what was recorded.
class Recorder {
public:
    static constexpr int kRate = 48000;
    struct Track {
        std::mutex mutex;
        std::vector<std::int16_t> samples;
        std::vector<std::pair<std::size_t, GstClockTime>> stamps;  // first sample, its time
    };

    explicit Recorder(const std::vector<std::string>& sources) : tracks_(sources.size()) {
        std::string text;
        for (std::size_t i = 0; i < sources.size(); ++i) {
            text += "pulsesrc device=" + sources[i] +
                    " buffer-time=500000 latency-time=10000 ! audioconvert ! audioresample !"
                    " audio/x-raw,format=S16LE,rate=48000,channels=1 ! appsink name=t" +
                    std::to_string(i) + " sync=false emit-signals=false ";
        }
        pipeline_ = Launch(text);
        if (!pipeline_) return;
        UseSystemClock(pipeline_);
        for (std::size_t i = 0; i < sources.size(); ++i) {
            GstElement* sink =
                gst_bin_get_by_name(GST_BIN(pipeline_), ("t" + std::to_string(i)).c_str());
            GstAppSinkCallbacks callbacks = {};
            callbacks.new_sample = OnSample;
            gst_app_sink_set_callbacks(GST_APP_SINK(sink), &callbacks, &tracks_[i], nullptr);
            gst_object_unref(sink);
        }
        gst_element_set_state(pipeline_, GST_STATE_PLAYING);
        gst_element_get_state(pipeline_, nullptr, nullptr, 2 * GST_SECOND);
    }
    ~Recorder() { Dispose(pipeline_); }
    bool ok() const { return pipeline_ != nullptr; }

    GstClockTime Now() const {
        GstClock* clock = gst_element_get_clock(pipeline_);
        const GstClockTime now = gst_clock_get_time(clock) - gst_element_get_base_time(pipeline_);
        gst_object_unref(clock);
        return now;
    }
    Track& track(std::size_t i) { return tracks_[i]; }

    // The running time of sample `index` of a track.
    static GstClockTime TimeOf(Track& t, std::size_t index) {
        std::lock_guard lock(t.mutex);
        auto it = std::upper_bound(t.stamps.begin(), t.stamps.end(), index,
                                   [](std::size_t i, const auto& s) { return i < s.first; });
        if (it == t.stamps.begin()) return GST_CLOCK_TIME_NONE;
        --it;
        return it->second + gst_util_uint64_scale(index - it->first, GST_SECOND, kRate);
    }
    // The first sample at or after running time `from`, and before `to`, louder than
    // `threshold`; -1 when none.
    static long FirstLoud(Track& t, GstClockTime from, GstClockTime to, int threshold) {
        std::lock_guard lock(t.mutex);
        for (std::size_t s = 0; s < t.stamps.size(); ++s) {
            const std::size_t begin = t.stamps[s].first;
            const std::size_t end =
                s + 1 < t.stamps.size() ? t.stamps[s + 1].first : t.samples.size();
            for (std::size_t i = begin; i < end; ++i) {
                const GstClockTime at =
                    t.stamps[s].second + gst_util_uint64_scale(i - begin, GST_SECOND, kRate);
                if (at < from) continue;
                if (at >= to) return -1;
                if (std::abs(int(t.samples[i])) > threshold) return long(i);
            }
        }
        return -1;
    }
    // The mean power of the `hz` component between two running times (Goertzel over blocks of
    // 480 samples, 10 ms), in dB below a full-scale sine; -200 for nothing.
    static double ToneLevel(Track& t, GstClockTime from, GstClockTime to, double hz) {
        std::vector<std::int16_t> span;
        {
            std::lock_guard lock(t.mutex);
            for (std::size_t s = 0; s < t.stamps.size(); ++s) {
                const std::size_t begin = t.stamps[s].first;
                const std::size_t end =
                    s + 1 < t.stamps.size() ? t.stamps[s + 1].first : t.samples.size();
                for (std::size_t i = begin; i < end; ++i) {
                    const GstClockTime at =
                        t.stamps[s].second + gst_util_uint64_scale(i - begin, GST_SECOND, kRate);
                    if (at >= from && at < to) span.push_back(t.samples[i]);
                }
            }
        }
        constexpr std::size_t kBlock = 480;
        const double w = 2 * M_PI * hz / kRate, coeff = 2 * std::cos(w);
        double power = 0;
        std::size_t blocks = 0;
        for (std::size_t b = 0; b + kBlock <= span.size(); b += kBlock, ++blocks) {
            double s1 = 0, s2 = 0;
            for (std::size_t i = 0; i < kBlock; ++i) {
                const double s0 = span[b + i] / 32768.0 + coeff * s1 - s2;
                s2 = s1;
                s1 = s0;
            }
            const double magnitude2 = s1 * s1 + s2 * s2 - coeff * s1 * s2;
            // A full-scale sine gives (N/2)^2.
            power += magnitude2 / (kBlock / 2.0 * kBlock / 2.0);
        }
        if (!blocks || power <= 0) return -200;
        return 10 * std::log10(power / double(blocks));
    }

private:
    static GstFlowReturn OnSample(GstAppSink* sink, gpointer data) {
        auto* t = static_cast<Track*>(data);
        GstSample* sample = gst_app_sink_pull_sample(sink);
        if (!sample) return GST_FLOW_EOS;
        GstBuffer* buffer = gst_sample_get_buffer(sample);
        GstMapInfo map;
        if (buffer && GST_BUFFER_PTS_IS_VALID(buffer) &&
            gst_buffer_map(buffer, &map, GST_MAP_READ)) {
            std::lock_guard lock(t->mutex);
            t->stamps.emplace_back(t->samples.size(), GST_BUFFER_PTS(buffer));
            const auto* s = reinterpret_cast<const std::int16_t*>(map.data);
            t->samples.insert(t->samples.end(), s, s + map.size / 2);
            gst_buffer_unmap(buffer, &map);
        }
        gst_sample_unref(sample);
        return GST_FLOW_OK;
    }
    std::vector<Track> tracks_;
    GstElement* pipeline_ = nullptr;
};

}  // namespace quorell::bench
