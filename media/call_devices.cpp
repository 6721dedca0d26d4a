// The call's devices: the microphone and the camera it sends from, the speaker it plays to. One
// that cannot be opened is cut before the start; one that fails or vanishes mid-call is told
// once and replaced (silence, a black picture, a sink that plays nothing), and the call goes on.
#include <array>

#include "media/call_impl.h"

namespace quorell::media {
namespace {

constexpr std::array<const char*, 3> kDeviceNames = {"麦克风", "摄像头", "扬声器"};
constexpr std::array<const char*, 3> kWithout = {"对方听不到你的声音", "对方看不到你的画面",
                                                 "你听不到对方的声音"};

// What the window shows, word for word.
std::string DeviceText(Call::Impl::Device device, bool worked) {
    const auto i = static_cast<std::size_t>(device);
    return std::string(kDeviceNames[i]) + (worked ? "已断开" : "无法使用") + "，通话继续，但" +
           kWithout[i];
}

// On a device's pad: notes that it delivered, and keeps the end of stream a failing source sends
// from the rest of the pipeline, which would then take nothing more from its replacement.
GstPadProbeReturn WatchDevice(GstPad*, GstPadProbeInfo* info, gpointer data) {
    if (GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_BUFFER) {
        static_cast<std::atomic<bool>*>(data)->store(true, std::memory_order_relaxed);
        return GST_PAD_PROBE_OK;
    }
    GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
    return event && GST_EVENT_TYPE(event) == GST_EVENT_EOS ? GST_PAD_PROBE_DROP : GST_PAD_PROBE_OK;
}

// The playback's way in: what the speaker's part returns when it fails (it cannot take the
// stream, it errs) stays here instead of stopping the peer's streams behind it, and the speaker
// is replaced; once it failed, so does what it returns while it is swapped (flushing).
GstFlowReturn Fuse(Call::Impl* d, GstFlowReturn result) {
    if (result == GST_FLOW_OK) return result;
    if (result <= GST_FLOW_NOT_NEGOTIATED && d->running) {
        if (!d->speaker_dead.exchange(true))
            d->Post([d] { d->LoseDevice(Call::Impl::Device::kSpeaker); });
        return GST_FLOW_OK;
    }
    return d->speaker_dead.load() ? GST_FLOW_OK : result;
}

GstFlowReturn FusedChain(GstPad* pad, GstObject* parent, GstBuffer* buffer) {
    return Fuse(static_cast<Call::Impl*>(pad->chaindata),
                gst_proxy_pad_chain_default(pad, parent, buffer));
}

GstFlowReturn FusedChainList(GstPad* pad, GstObject* parent, GstBufferList* list) {
    return Fuse(static_cast<Call::Impl*>(pad->chainlistdata),
                gst_proxy_pad_chain_list_default(pad, parent, list));
}

// A speaker that refuses the stream's format (a device the sound server does not have) says so
// by refusing the format itself, before any buffer: that too replaces the speaker.
gboolean FusedEvent(GstPad* pad, GstObject* parent, GstEvent* event) {
    auto* d = static_cast<Call::Impl*>(pad->eventdata);
    const bool caps = GST_EVENT_TYPE(event) == GST_EVENT_CAPS;
    const gboolean taken = d->playback_event(pad, parent, event);
    if (taken || !caps || !d->running) return taken;
    Fuse(d, GST_FLOW_NOT_NEGOTIATED);
    return TRUE;
}

// The element `name` of `bin` and its pad `pad`, or nullptrs.
GstPad* DevicePad(GstElement* bin, const char* name, const char* pad) {
    if (!bin) return nullptr;
    GstElement* element = gst_bin_get_by_name(GST_BIN(bin), name);
    if (!element) return nullptr;
    GstPad* result = gst_element_get_static_pad(element, pad);
    gst_object_unref(element);
    return result;
}

}  // namespace

void Call::Impl::WatchDevices() {
    for (auto& d : delivered) d = false;
    speaker_dead = false;
    lost = {};
    const std::array<std::pair<GstPad*, Device>, 3> pads = {
        std::pair{DevicePad(voice_sender, "mic", "src"), Device::kMicrophone},
        std::pair{DevicePad(video_sender, "cam", "src"), Device::kCamera},
        std::pair{DevicePad(playback, "speaker", "sink"), Device::kSpeaker}};
    for (auto [pad, device] : pads) {
        if (!pad) continue;
        gst_pad_add_probe(
            pad, GstPadProbeType(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM),
            WatchDevice, &delivered[static_cast<std::size_t>(device)], nullptr);
        gst_object_unref(pad);
    }
    if (GstPad* in = playback ? gst_element_get_static_pad(playback, "sink") : nullptr) {
        gst_pad_set_chain_function_full(in, FusedChain, this, nullptr);
        gst_pad_set_chain_list_function_full(in, FusedChainList, this, nullptr);
        if (!playback_event) playback_event = GST_PAD_EVENTFUNC(in);
        if (playback_event) gst_pad_set_event_function_full(in, FusedEvent, this, nullptr);
        gst_object_unref(in);
    }
}

// Any thread that posts: an error of the speaker is known before the speaker returns it.
void Call::Impl::NoteError(GstMessage* message) {
    if (GST_MESSAGE_TYPE(message) != GST_MESSAGE_ERROR || !playback) return;
    GstObject* from = GST_MESSAGE_SRC(message);
    if (from && g_strcmp0(GST_OBJECT_NAME(from), "speaker") == 0 &&
        GST_OBJECT_PARENT(from) == GST_OBJECT(playback)) {
        speaker_dead = true;
    }
}

// An error from a part of the pipeline, told by its ancestors. The call's thread.
void Call::Impl::OnBus(GstMessage* message) {
    // The peer's streams join the running pipeline with their jitter buffer's latency: the
    // speaker must wait for it, or it finds everything late and plays nothing.
    if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_LATENCY) {
        gst_bin_recalculate_latency(GST_BIN(pipeline));
        return;
    }
    if (GST_MESSAGE_TYPE(message) != GST_MESSAGE_ERROR) return;
    GError* error = nullptr;
    gst_message_parse_error(message, &error, nullptr);
    const std::string reason = error && error->message ? error->message : "unknown reason";
    g_clear_error(&error);
    GstObject* from = GST_MESSAGE_SRC(message);
    // Nothing more to do for a part already dropped.
    if (!gst_object_has_as_ancestor(from, GST_OBJECT(pipeline))) return;
    if (voice_sender && gst_object_has_as_ancestor(from, GST_OBJECT(voice_sender))) {
        LoseDevice(Device::kMicrophone);
    } else if (video_sender && gst_object_has_as_ancestor(from, GST_OBJECT(video_sender))) {
        LoseDevice(Device::kCamera);
    } else if (playback && gst_object_has_as_ancestor(from, GST_OBJECT(playback))) {
        LoseDevice(Device::kSpeaker);
    } else {
        Fail("通话出错：" + reason);
    }
}

// Told once; what the device fed or took is taken over by an element that cannot fail.
void Call::Impl::LoseDevice(Device device) {
    const auto i = static_cast<std::size_t>(device);
    if (lost[i]) return;  // its replacement's errors, or more of the same failure
    lost[i] = true;
    TellProblem(DeviceText(device, delivered[i]));
    switch (device) {
        case Device::kMicrophone:
            if (!ReplaceElement(voice_sender, "mic",
                                "audiotestsrc is-live=true wave=silence samplesperbuffer=480")) {
                CutSender(&voice_sender);
            }
            break;
        case Device::kCamera:
            if (!ReplaceElement(video_sender, "cam", "videotestsrc is-live=true pattern=black")) {
                CutSender(&video_sender);
            }
            break;
        case Device::kSpeaker:
            speaker_dead = true;
            // Should that fail too, the dead speaker stays, behind the playback's fuse.
            ReplaceElement(playback, "speaker", "fakesink sync=true async=false");
            break;
    }
}

// Swaps the source or sink `name` of `bin` for a new element of `description`, linked where the
// old one was. A source's pictures or samples go on from the call's running time.
bool Call::Impl::ReplaceElement(GstElement* bin, const char* name, const char* description) {
    GstElement* old = bin ? gst_bin_get_by_name(GST_BIN(bin), name) : nullptr;
    if (!old) return false;
    GstPad* old_pad = gst_element_get_static_pad(old, "src");
    const bool source = old_pad != nullptr;
    if (!old_pad) old_pad = gst_element_get_static_pad(old, "sink");
    GstPad* neighbour = old_pad ? gst_pad_get_peer(old_pad) : nullptr;
    gst_element_set_locked_state(old, TRUE);
    gst_element_set_state(old, GST_STATE_NULL);
    if (neighbour) {
        if (source) {
            gst_pad_unlink(old_pad, neighbour);
        } else {
            gst_pad_unlink(neighbour, old_pad);
        }
    }
    if (old_pad) gst_object_unref(old_pad);
    gst_bin_remove(GST_BIN(bin), old);
    gst_object_unref(old);
    if (!neighbour) return false;

    GstElement* fresh = gst_parse_launch(description, nullptr);
    bool linked = false;
    if (fresh) {
        if (source) {
            GstClock* clock = gst_element_get_clock(pipeline);
            if (clock) {
                const GstClockTime now = gst_clock_get_time(clock);
                const GstClockTime base = gst_element_get_base_time(pipeline);
                g_object_set(fresh, "timestamp-offset", gint64(now > base ? now - base : 0),
                             nullptr);
                gst_object_unref(clock);
            }
        }
        gst_bin_add(GST_BIN(bin), fresh);
        GstPad* pad = gst_element_get_static_pad(fresh, source ? "src" : "sink");
        linked = pad && (source ? gst_pad_link(pad, neighbour) : gst_pad_link(neighbour, pad)) ==
                            GST_PAD_LINK_OK;
        if (pad) gst_object_unref(pad);
        if (linked) linked = gst_element_sync_state_with_parent(fresh);
    }
    gst_object_unref(neighbour);
    return linked;
}

// A sender cut from webrtcbin: the peer gets nothing more of it.
void Call::Impl::CutSender(GstElement** sender) {
    GstElement* bin = *sender;
    *sender = nullptr;
    GstPad* src = gst_element_get_static_pad(bin, "src");
    GstPad* peer = src ? gst_pad_get_peer(src) : nullptr;
    if (peer) {
        gst_pad_unlink(src, peer);
        gst_object_unref(peer);
    }
    if (src) gst_object_unref(src);
    gst_element_set_locked_state(bin, TRUE);
    gst_element_set_state(bin, GST_STATE_NULL);
    gst_bin_remove(GST_BIN(pipeline), bin);
}

// Opens the devices before the pipeline starts: one that cannot be opened is cut here, and the
// rest of the call starts without it.
void Call::Impl::OpenDevices() {
    const std::pair<GstElement**, Device> senders[] = {{&voice_sender, Device::kMicrophone},
                                                       {&video_sender, Device::kCamera}};
    for (const auto& [sender, device] : senders) {
        if (!*sender ||
            gst_element_set_state(*sender, GST_STATE_READY) != GST_STATE_CHANGE_FAILURE) {
            continue;
        }
        // Its error messages are left on the bus: they come from a part no longer in the call.
        lost[static_cast<std::size_t>(device)] = true;
        TellProblem(DeviceText(device, false));
        CutSender(sender);
    }
    // A speaker that cannot be opened: the peer's voice goes to a sink that plays nothing.
    // A speaker that cannot be opened, or that takes no format at all (a device the sound
    // server does not have): the peer's voice goes to a sink that plays nothing.
    if (!playback) return;
    bool usable = gst_element_set_state(playback, GST_STATE_READY) != GST_STATE_CHANGE_FAILURE;
    if (GstPad* pad = usable ? DevicePad(playback, "speaker", "sink") : nullptr) {
        GstCaps* caps = gst_pad_query_caps(pad, nullptr);
        usable = caps && !gst_caps_is_empty(caps);
        if (caps) gst_caps_unref(caps);
        gst_object_unref(pad);
    }
    if (!usable) {
        gst_element_set_state(playback, GST_STATE_NULL);
        LoseDevice(Device::kSpeaker);
    }
}

}  // namespace quorell::media
