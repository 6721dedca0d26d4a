#pragma once

// The private sound server of the tests (scripts/sound-server): null sinks of a test's own, a
// tone played into one, and what one plays recorded from its monitor.
#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <pulse/pulseaudio.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

namespace quorell::media::test {

// Ends every stream playing to the sink `sink` (or recording the source `source`), as the
// server does to the streams of a device that failed; the streams of a device merely unloaded
// it moves elsewhere. Returns how many it ended.
inline int KillStreams(const std::string& sink, const std::string& source) {
    pa_mainloop* loop = pa_mainloop_new();
    pa_context* context = pa_context_new(pa_mainloop_get_api(loop), "quorell-test");
    const auto wait = [loop](pa_operation* op) {
        while (op && pa_operation_get_state(op) == PA_OPERATION_RUNNING) {
            pa_mainloop_iterate(loop, 1, nullptr);
        }
        if (op) pa_operation_unref(op);
    };
    int killed = 0;
    if (pa_context_connect(context, nullptr, PA_CONTEXT_NOFLAGS, nullptr) >= 0) {
        pa_context_state_t state;
        while ((state = pa_context_get_state(context)) != PA_CONTEXT_READY &&
               PA_CONTEXT_IS_GOOD(state)) {
            pa_mainloop_iterate(loop, 1, nullptr);
        }
        struct Found {
            std::uint32_t device = PA_INVALID_INDEX;
            std::vector<std::uint32_t> streams;
        } found;
        if (state == PA_CONTEXT_READY && !sink.empty()) {
            wait(pa_context_get_sink_info_by_name(
                context, sink.c_str(),
                [](pa_context*, const pa_sink_info* i, int, void* f) {
                    if (i) static_cast<Found*>(f)->device = i->index;
                },
                &found));
            wait(pa_context_get_sink_input_info_list(
                context,
                [](pa_context*, const pa_sink_input_info* i, int, void* data) {
                    auto* f = static_cast<Found*>(data);
                    if (i && i->sink == f->device) f->streams.push_back(i->index);
                },
                &found));
            for (std::uint32_t i : found.streams) {
                wait(pa_context_kill_sink_input(context, i, nullptr, nullptr));
            }
        } else if (state == PA_CONTEXT_READY) {
            wait(pa_context_get_source_info_by_name(
                context, source.c_str(),
                [](pa_context*, const pa_source_info* i, int, void* f) {
                    if (i) static_cast<Found*>(f)->device = i->index;
                },
                &found));
            wait(pa_context_get_source_output_info_list(
                context,
                [](pa_context*, const pa_source_output_info* i, int, void* data) {
                    auto* f = static_cast<Found*>(data);
                    if (i && i->source == f->device) f->streams.push_back(i->index);
                },
                &found));
            for (std::uint32_t i : found.streams) {
                wait(pa_context_kill_source_output(context, i, nullptr, nullptr));
            }
        }
        killed = static_cast<int>(found.streams.size());
        pa_context_disconnect(context);
    }
    pa_context_unref(context);
    pa_mainloop_free(loop);
    return killed;
}

inline bool HaveSoundServer() {
    const char* server = std::getenv("PULSE_SERVER");
    return server && *server;
}

// A null sink named `quorell_<pid>_<role>`, 48 kHz mono, unloaded when it goes (or before).
class NullSink {
public:
    explicit NullSink(const std::string& role)
        : name_("quorell_" + std::to_string(getpid()) + "_" + role) {
        const std::string command = "pactl load-module module-null-sink sink_name=" + name_ +
                                    " rate=48000 channels=1 format=s16le";
        if (FILE* out = popen(command.c_str(), "r")) {
            if (std::fscanf(out, "%d", &module_) != 1) module_ = -1;
            pclose(out);
        }
    }
    ~NullSink() { Unload(); }
    NullSink(const NullSink&) = delete;
    NullSink& operator=(const NullSink&) = delete;

    bool Loaded() const { return module_ >= 0; }
    // The sink fails: what plays to it, or what records its monitor, is cut off by the server.
    int KillPlayers() const { return KillStreams(name_, ""); }
    int KillRecorders() const { return KillStreams("", Monitor()); }
    const std::string& Name() const { return name_; }
    std::string Monitor() const { return name_ + ".monitor"; }
    void Unload() {
        if (module_ < 0) return;
        const std::string command = "pactl unload-module " + std::to_string(module_);
        if (std::system(command.c_str()) != 0) ADD_FAILURE() << command << " failed";
        module_ = -1;
    }

private:
    std::string name_;
    int module_ = -1;
};

// A GStreamer pipeline of the test's own, playing from construction to destruction.
class Pipeline {
public:
    explicit Pipeline(const std::string& description) {
        pipeline_ = gst_parse_launch(description.c_str(), nullptr);
        if (pipeline_) gst_element_set_state(pipeline_, GST_STATE_PLAYING);
    }
    ~Pipeline() {
        if (!pipeline_) return;
        gst_element_set_state(pipeline_, GST_STATE_NULL);
        gst_object_unref(pipeline_);
    }
    Pipeline(const Pipeline&) = delete;
    Pipeline& operator=(const Pipeline&) = delete;
    GstElement* Get() const { return pipeline_; }

private:
    GstElement* pipeline_ = nullptr;
};

// A sine played into a sink.
class TonePlayer {
public:
    TonePlayer(const std::string& sink, double hz)
        : pipeline_("audiotestsrc is-live=true wave=sine volume=0.5 freq=" + std::to_string(hz) +
                    " ! audio/x-raw,rate=48000,channels=1 ! pulsesink device=" + sink) {}

private:
    Pipeline pipeline_;
};

// What a sink plays, from its monitor: the latest second of it, 48 kHz mono.
class Recorder {
public:
    explicit Recorder(const std::string& monitor)
        : pipeline_("pulsesrc device=" + monitor +
                    " ! audioconvert ! audioresample ! audio/x-raw,format=S16LE,rate=48000,"
                    "channels=1 ! appsink name=out sync=false") {
        if (!pipeline_.Get()) return;
        GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline_.Get()), "out");
        GstAppSinkCallbacks callbacks = {};
        callbacks.new_sample = [](GstAppSink* s, gpointer data) {
            static_cast<Recorder*>(data)->Take(gst_app_sink_pull_sample(s));
            return GST_FLOW_OK;
        };
        gst_app_sink_set_callbacks(GST_APP_SINK(sink), &callbacks, this, nullptr);
        gst_object_unref(sink);
    }
    std::vector<std::int16_t> Latest(std::size_t count) {
        std::lock_guard lock(mutex_);
        const std::size_t n = std::min(count, samples_.size());
        return {samples_.end() - n, samples_.end()};
    }

private:
    void Take(GstSample* sample) {
        if (!sample) return;
        GstMapInfo map;
        GstBuffer* buffer = gst_sample_get_buffer(sample);
        if (buffer && gst_buffer_map(buffer, &map, GST_MAP_READ)) {
            const auto* begin = reinterpret_cast<const std::int16_t*>(map.data);
            std::lock_guard lock(mutex_);
            samples_.insert(samples_.end(), begin, begin + map.size / 2);
            if (samples_.size() > 48000) samples_.erase(samples_.begin(), samples_.end() - 48000);
            gst_buffer_unmap(buffer, &map);
        }
        gst_sample_unref(sample);
    }

    std::mutex mutex_;
    std::vector<std::int16_t> samples_;
    Pipeline pipeline_;  // last: stopped before the samples go
};

}  // namespace quorell::media::test
