#include <nice/agent.h>

#include <atomic>

#include "media/call_impl.h"
#include "media/call_pipeline.h"

namespace quorell::media {
namespace {

std::atomic<unsigned> g_calls{0};

bool HasProperty(gpointer object, const char* name) {
    return g_object_class_find_property(G_OBJECT_GET_CLASS(object), name) != nullptr;
}

// webrtcbin holds each packet it sends until the pipeline's clock reaches its time stamp plus
// the latency upstream of it, to pace sources that run ahead of real time. Ours are live and
// their encoders hand on each frame as soon as it is whole, so the hold only delays the voice
// (8 ms measured, bench_call_devices). Found by its factory, as webrtcbin does not name it; where
// a later webrtcbin has none, nothing changes.
void SendAtOnce(GstBin*, GstBin*, GstElement* element, gpointer) {
    GstElementFactory* factory = gst_element_get_factory(element);
    if (factory && g_strcmp0(GST_OBJECT_NAME(factory), "clocksync") == 0 &&
        HasProperty(element, "sync")) {
        g_object_set(element, "sync", FALSE, nullptr);
    }
}

}  // namespace

// ICE over UDP on host candidates only: no TCP candidates, no port mapping asked of the router,
// and, when the call is given its own addresses, none but those.
void Call::Impl::ConfigureIce(std::string* error) {
    GObject* ice = nullptr;
    g_object_get(webrtc, "ice-agent", &ice, nullptr);
    if (!ice) {
        *error = "GStreamer's call element has no ICE agent";
        return;
    }
    if (HasProperty(ice, "ice-tcp")) g_object_set(ice, "ice-tcp", FALSE, nullptr);
    NiceAgent* agent = nullptr;
    if (HasProperty(ice, "agent")) g_object_get(ice, "agent", &agent, nullptr);
    if (agent) {
        if (HasProperty(agent, "upnp")) g_object_set(agent, "upnp", FALSE, nullptr);
        for (const std::string& text : config.local_addresses) {
            NiceAddress address;
            nice_address_init(&address);
            if (!nice_address_set_from_string(&address, text.c_str())) {
                *error = "the local address " + text + " is not an IP address";
                break;
            }
            nice_agent_add_local_address(agent, &address);
        }
        g_object_unref(agent);
    } else if (!config.local_addresses.empty()) {
        *error = "the ICE agent cannot be kept to the given local addresses";
    }
    g_object_unref(ice);
}

// Links a sending part to a new sending stream of webrtcbin. The stream's codec is set
// beforehand, so that the offer does not wait for the first data of a device that never
// delivers (one that failed and was dropped). Every stream, sending or receiving, asks again for
// lost packets while the jitter buffer still waits for them.
bool Call::Impl::AddSender(GstElement* bin, const char* what, const char* caps_text,
                           std::string* error) {
    gst_bin_add(GST_BIN(pipeline), bin);
    GstPad* src = gst_element_get_static_pad(bin, "src");
    GstPad* sink = gst_element_request_pad_simple(webrtc, "sink_%u");
    if (sink) {
        GstWebRTCRTPTransceiver* transceiver = nullptr;
        g_object_get(sink, "transceiver", &transceiver, nullptr);
        if (transceiver) {
            GstCaps* caps = gst_caps_from_string(caps_text);
            g_object_set(transceiver, "codec-preferences", caps, "do-nack", TRUE, nullptr);
            gst_caps_unref(caps);
            gst_object_unref(transceiver);
        }
    }
    const bool linked = src && sink && gst_pad_link(src, sink) == GST_PAD_LINK_OK;
    if (src) gst_object_unref(src);
    if (sink) gst_object_unref(sink);
    if (!linked) *error = std::string("GStreamer cannot send ") + what;
    return linked;
}

std::optional<std::string> Call::Impl::Build() {
    pipeline = gst_pipeline_new(("call" + std::to_string(g_calls++)).c_str());
    // The call runs on the monotonic system clock, never on a sound device's: the clock of a
    // microphone can stray far from real time (a null sink's monitor by over a second), and the
    // speaker slaved to it then found everything it was given late and played silence; and a
    // microphone that vanishes would take its clock with it, leaving everything that waits on it
    // waiting.
    GstClock* clock = gst_system_clock_obtain();
    gst_pipeline_use_clock(GST_PIPELINE(pipeline), clock);
    gst_object_unref(clock);
    webrtc = gst_element_factory_make("webrtcbin", "webrtc");
    if (!webrtc) return "GStreamer lacks webrtcbin (the package gstreamer1.0-plugins-bad)";
    gst_bin_add(GST_BIN(pipeline), webrtc);
    g_signal_connect(webrtc, "deep-element-added", G_CALLBACK(SendAtOnce), nullptr);
    g_object_set(webrtc, "bundle-policy", GST_WEBRTC_BUNDLE_POLICY_MAX_BUNDLE, "latency",
                 config.jitter_ms, nullptr);
    std::string error;
    ConfigureIce(&error);
    if (!error.empty()) return error;

    g_signal_connect(webrtc, "on-negotiation-needed", G_CALLBACK(+[](GstElement*, gpointer p) {
                         auto* d = static_cast<Impl*>(p);
                         if (d->config.dialling) d->Post([d] { d->MakeOffer(); });
                     }),
                     this);
    g_signal_connect(webrtc, "on-ice-candidate",
                     G_CALLBACK(+[](GstElement*, guint mline, gchar* text, gpointer p) {
                         auto* d = static_cast<Impl*>(p);
                         d->Post([d, c = Candidate{mline, text ? text : ""}] {
                             if (d->running && d->events.on_candidate && !c.text.empty()) {
                                 d->events.on_candidate(c);
                             }
                         });
                     }),
                     this);
    g_signal_connect(webrtc, "notify::connection-state",
                     G_CALLBACK(+[](GstElement* w, GParamSpec*, gpointer p) {
                         auto* d = static_cast<Impl*>(p);
                         GstWebRTCPeerConnectionState s;
                         g_object_get(w, "connection-state", &s, nullptr);
                         d->Post([d, s] { d->OnConnectionState(s); });
                     }),
                     this);
    g_signal_connect(webrtc, "pad-added", G_CALLBACK(+[](GstElement*, GstPad* pad, gpointer p) {
                         static_cast<Impl*>(p)->OnPad(pad);
                     }),
                     this);

    if (config.voice) {
        // The echo canceller follows what the speaker plays: one probe per call, by name.
        const bool echo = config.voice_source.kind == VoiceSource::Kind::kMicrophone &&
                          !config.voice_output.on_samples;
        const std::string probe = echo ? "callprobe" + std::to_string(g_calls++) : "";
        playback = detail::MakeVoicePlayback(config, probe, &error);
        if (!playback) return error;
        gst_bin_add(GST_BIN(pipeline), playback);
        if (config.voice_source.kind == VoiceSource::Kind::kNone) {
            AddReceiveOnly(detail::kVoiceRtpCaps);
        } else {
            voice_sender = detail::MakeVoiceSender(config, probe, &error);
            if (!voice_sender || !AddSender(voice_sender, "voice", detail::kVoiceRtpCaps, &error))
                return error;
        }
    }
    if (config.video) {
        if (config.video_source.kind == VideoSource::Kind::kNone) {
            AddReceiveOnly(detail::kVideoRtpCaps);
        } else {
            video_sender = detail::MakeVideoSender(config, &error);
            if (!video_sender || !AddSender(video_sender, "video", detail::kVideoRtpCaps, &error))
                return error;
        }
    }
    return std::nullopt;
}

void Call::Impl::AddReceiveOnly(const char* caps_text) {
    GstCaps* caps = gst_caps_from_string(caps_text);
    GstWebRTCRTPTransceiver* transceiver = nullptr;
    g_signal_emit_by_name(webrtc, "add-transceiver", GST_WEBRTC_RTP_TRANSCEIVER_DIRECTION_RECVONLY,
                          caps, &transceiver);
    gst_caps_unref(caps);
    if (transceiver) {
        g_object_set(transceiver, "do-nack", TRUE, nullptr);
        gst_object_unref(transceiver);
    }
}

void Call::Impl::OnConnectionState(GstWebRTCPeerConnectionState s) {
    switch (s) {
        case GST_WEBRTC_PEER_CONNECTION_STATE_CONNECTING:
        case GST_WEBRTC_PEER_CONNECTION_STATE_DISCONNECTED:
            SetState(CallState::kConnecting);
            break;
        case GST_WEBRTC_PEER_CONNECTION_STATE_CONNECTED:
            SetState(CallState::kConnected);
            break;
        case GST_WEBRTC_PEER_CONNECTION_STATE_FAILED:
            Fail("与对方的连接失败了。");
            break;
        default:
            break;
    }
}

// A stream from the peer: decoded and handed on. A GStreamer streaming thread.
void Call::Impl::OnPad(GstPad* pad) {
    if (!running || GST_PAD_DIRECTION(pad) != GST_PAD_SRC) return;
    GstCaps* caps = gst_pad_get_current_caps(pad);
    if (!caps) caps = gst_pad_query_caps(pad, nullptr);
    const GstStructure* s =
        caps && gst_caps_get_size(caps) > 0 ? gst_caps_get_structure(caps, 0) : nullptr;
    const gchar* media = s ? gst_structure_get_string(s, "media") : nullptr;
    const bool voice = media && g_str_equal(media, "audio");
    const bool video = media && g_str_equal(media, "video");
    if (caps) gst_caps_unref(caps);
    std::string error;
    GstElement* bin = nullptr;
    bool to_playback = false;
    if (voice && playback && !voice_received.exchange(true)) {
        bin = detail::MakeVoiceReceiver(config, &error);
        to_playback = bin != nullptr;
    } else if (video && !video_received.exchange(true)) {
        bin = detail::MakeVideoReceiver(config, &error);
    }
    if (!error.empty()) {
        Post([this, error] { TellProblem("无法播放对方的声音或画面：" + error); });
    }
    if (!bin) {
        // Not ours to play (or GStreamer lacks a decoder): the stream is dropped.
        GstElement* sink = gst_element_factory_make("fakesink", nullptr);
        g_object_set(sink, "async", FALSE, "sync", FALSE, nullptr);
        bin = sink;
    }
    gst_bin_add(GST_BIN(pipeline), bin);
    GstPad* in = gst_element_get_static_pad(bin, "sink");
    gst_pad_link(pad, in);
    gst_object_unref(in);
    if (to_playback) gst_element_link(bin, playback);
    gst_element_sync_state_with_parent(bin);
}

}  // namespace quorell::media
