#include "media/call_pipeline.h"

#include <gst/app/gstappsink.h>

#include <memory>

namespace quorell::media::detail {

const char* const kVoiceRtpCaps =
    "application/x-rtp,media=audio,encoding-name=OPUS,payload=111,clock-rate=48000";
const char* const kOpusDecoder = "opusdec plc=true use-inband-fec=false";

// The speaker plays in time with the pipeline, as the echo canceller needs to know when each
// sample is heard; what it adds to the delay is the pipeline's latency. Of that it owns its ring
// buffer (2 of its 3 segments of 10 ms) and the time it allows the decoder (5 ms: one Opus frame
// decodes in well under one). It takes each stretch of voice where its time stamp says, not
// where the last one ended: a gap or a latency that changed as the peer's stream joined would
// otherwise be carried along for the rest of the call (the default tolerance is 40 ms, and the
// benchmark saw runs 10 or 20 ms later than others for that alone). Underruns on a busy machine
// cost a click, and the next stretch lands on time again.
const char* const kSpeakerTiming =
    "buffer-time=30000 latency-time=10000 processing-deadline=5000000 "
    "alignment-threshold=5000000 discont-wait=200000000 drift-tolerance=5000";
const char* const kVideoRtpCaps =
    "application/x-rtp,media=video,encoding-name=VP8,payload=96,clock-rate=90000";

namespace {

GstElement* Parse(const std::string& description, std::string* error) {
    GError* gerror = nullptr;
    GstElement* bin = gst_parse_bin_from_description(description.c_str(), TRUE, &gerror);
    if (!bin) {
        *error = std::string("GStreamer cannot build a part of the call: ") +
                 (gerror ? gerror->message : "unknown reason");
        g_clear_error(&gerror);
        return nullptr;
    }
    g_clear_error(&gerror);
    return bin;
}

// Sets a device name on the element of that name inside `bin`, when one is given. Names are
// set as properties, never written into a description, whatever characters they hold.
void SetDevice(GstElement* bin, const char* element, const std::string& device) {
    if (device.empty()) return;
    GstElement* e = gst_bin_get_by_name(GST_BIN(bin), element);
    if (!e) return;
    g_object_set(e, "device", device.c_str(), nullptr);
    gst_object_unref(e);
}

GstFlowReturn OnVoiceSample(GstAppSink* sink, gpointer data) {
    auto* out = static_cast<const VoiceOutput*>(data);
    GstSample* sample = gst_app_sink_pull_sample(sink);
    if (!sample) return GST_FLOW_EOS;
    GstBuffer* buffer = gst_sample_get_buffer(sample);
    GstMapInfo map;
    if (buffer && gst_buffer_map(buffer, &map, GST_MAP_READ)) {
        VoiceSamples block;
        block.samples = reinterpret_cast<const std::int16_t*>(map.data);
        block.channels = 1;
        block.rate = 48000;
        block.frames = map.size / sizeof(std::int16_t);
        out->on_samples(block);
        gst_buffer_unmap(buffer, &map);
    }
    gst_sample_unref(sample);
    return GST_FLOW_OK;
}

GstFlowReturn OnVideoSample(GstAppSink* sink, gpointer data) {
    auto* out = static_cast<const VideoOutput*>(data);
    GstSample* sample = gst_app_sink_pull_sample(sink);
    if (!sample) return GST_FLOW_EOS;
    GstBuffer* buffer = gst_sample_get_buffer(sample);
    GstStructure* s = gst_caps_get_structure(gst_sample_get_caps(sample), 0);
    VideoFrame frame;
    gst_structure_get_int(s, "width", &frame.width);
    gst_structure_get_int(s, "height", &frame.height);
    GstMapInfo map;
    // RGB rows are padded to four bytes.
    frame.stride = (frame.width * 3 + 3) & ~3;
    if (buffer && frame.width > 0 && frame.height > 0 &&
        gst_buffer_map(buffer, &map, GST_MAP_READ)) {
        if (map.size >= static_cast<std::size_t>(frame.stride) * frame.height) {
            frame.rgb = map.data;
            out->on_frame(frame);
        }
        gst_buffer_unmap(buffer, &map);
    }
    gst_sample_unref(sample);
    return GST_FLOW_OK;
}

void SetSampleCallback(GstElement* bin, const char* name,
                       GstFlowReturn (*fn)(GstAppSink*, gpointer), const void* data) {
    GstElement* sink = gst_bin_get_by_name(GST_BIN(bin), name);
    GstAppSinkCallbacks callbacks = {};
    callbacks.new_sample = fn;
    gst_app_sink_set_callbacks(GST_APP_SINK(sink), &callbacks, const_cast<void*>(data), nullptr);
    gst_object_unref(sink);
}

}  // namespace

std::string OpusEncoder(int frame_ms) {
    return "opusenc audio-type=voice bitrate=32000 inband-fec=true packet-loss-percentage=5 "
           "frame-size=" +
           std::to_string(frame_ms);
}

GstElement* MakeVoiceSender(const CallConfig& config, const std::string& probe_name,
                            std::string* error) {
    std::string source;
    if (config.voice_source.kind == VoiceSource::Kind::kTone) {
        source =
            "audiotestsrc name=mic is-live=true wave=sine volume=0.5 samplesperbuffer=480 freq=" +
            std::to_string(config.voice_source.tone_hz);
    } else {
        source = "pulsesrc name=mic buffer-time=20000 latency-time=10000";
    }
    std::string chain = source +
                        " ! audioconvert ! audioresample ! "
                        "audio/x-raw,format=S16LE,rate=48000,channels=1";
    if (config.voice_source.kind == VoiceSource::Kind::kMicrophone) {
        // Echo cancellation follows what the speaker plays; without a speaker only the noise
        // suppression and gain control are left.
        chain += " ! webrtcdsp name=dsp";
        chain += probe_name.empty() ? " echo-cancel=false" : " probe=" + probe_name;
        chain += " ! audioconvert";
    }
    chain += " ! volume name=mute ! " + OpusEncoder(config.voice_frame_ms) +
             " ! rtpopuspay pt=" + std::to_string(kOpusPayload) + " ! capsfilter caps=\"" +
             kVoiceRtpCaps + "\"";
    GstElement* bin = Parse(chain, error);
    if (bin) SetDevice(bin, "mic", config.voice_source.device);
    return bin;
}

std::string VideoSizeCaps(int width, int height, int fps) {
    return "video/x-raw,format=I420,width=" + std::to_string(width) +
           ",height=" + std::to_string(height) + ",framerate=" + std::to_string(fps) + "/1";
}

GstElement* MakeVideoSender(const CallConfig& config, std::string* error) {
    std::string source;
    switch (config.video_source.kind) {
        case VideoSource::Kind::kPattern:
            source = "videotestsrc name=cam is-live=true pattern=ball";
            break;
        case VideoSource::Kind::kFrames:
            // Pushed pictures (Call::PushVideoFrame), stamped as they come; of the two waiting
            // at most, the older goes, so that a slow encoder never holds the pusher up.
            source =
                "appsrc name=cam is-live=true do-timestamp=true format=time block=false "
                "max-buffers=2 leaky-type=downstream";
            break;
        default:
            source = "v4l2src name=cam";
            break;
    }
    const std::string chain =
        source + " ! videoconvert ! videoscale ! videorate ! capsfilter name=size caps=\"" +
        VideoSizeCaps(config.video_width, config.video_height, config.video_fps) +
        "\" ! queue max-size-buffers=1 leaky=downstream"
        " ! vp8enc name=encoder deadline=1 cpu-used=8 end-usage=cbr lag-in-frames=0"
        " error-resilient=partitions keyframe-max-dist=60 threads=2 target-bitrate=" +
        std::to_string(config.video_kbps * 1000) +
        " ! rtpvp8pay picture-id-mode=15-bit pt=" + std::to_string(kVp8Payload) +
        " ! capsfilter caps=\"" + kVideoRtpCaps + "\"";
    GstElement* bin = Parse(chain, error);
    if (bin) SetDevice(bin, "cam", config.video_source.device);
    return bin;
}

GstElement* MakeVoiceReceiver(const CallConfig&, std::string* error) {
    // Lost packets are concealed by the decoder. It does not rebuild them from the next
    // packet's forward error correction: together with the jitter buffer's reports of lost
    // packets that hands on more voice than time passed (half as much again at 5 % loss,
    // call_loss_test), which piles up as delay or is cut off by the speaker.
    return Parse(std::string("rtpopusdepay ! ") + kOpusDecoder + " ! audioconvert ! audioresample",
                 error);
}

GstElement* MakeVoicePlayback(const CallConfig& config, const std::string& probe_name,
                              std::string* error) {
    std::string chain;
    if (!probe_name.empty()) chain = "webrtcechoprobe name=" + probe_name + " ! ";
    chain += "audioconvert ! audioresample ! ";
    if (config.voice_output.on_samples) {
        chain +=
            "audio/x-raw,format=S16LE,rate=48000,channels=1 ! "
            "appsink name=voiceout sync=false async=false max-buffers=50 drop=true";
    } else {
        chain += std::string("pulsesink name=speaker async=false ") + kSpeakerTiming;
    }
    GstElement* bin = Parse(chain, error);
    if (!bin) return nullptr;
    if (config.voice_output.on_samples) {
        SetSampleCallback(bin, "voiceout", OnVoiceSample, &config.voice_output);
    } else {
        SetDevice(bin, "speaker", config.voice_output.device);
    }
    return bin;
}

GstElement* MakeVideoReceiver(const CallConfig& config, std::string* error) {
    std::string chain = "rtpvp8depay ! vp8dec ! videoconvert ! ";
    if (config.video_output.on_frame) {
        chain +=
            "video/x-raw,format=RGB ! appsink name=videoout sync=false async=false max-buffers=2 "
            "drop=true";
    } else {
        chain += "fakesink sync=false async=false";
    }
    GstElement* bin = Parse(chain, error);
    if (bin && config.video_output.on_frame) {
        SetSampleCallback(bin, "videoout", OnVideoSample, &config.video_output);
    }
    return bin;
}

}  // namespace quorell::media::detail
