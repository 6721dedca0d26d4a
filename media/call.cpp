#include "media/call.h"

#include "media/call_impl.h"
#include "media/signal_check.h"
#include "media/tsan_handoff.h"

namespace quorell::media {

const char* Describe(CallState state) {
    switch (state) {
        case CallState::kIdle:
            return "idle";
        case CallState::kNegotiating:
            return "negotiating";
        case CallState::kConnecting:
            return "connecting";
        case CallState::kConnected:
            return "connected";
        case CallState::kFailed:
            return "failed";
    }
    return "?";
}

Call::Call(CallConfig config, CallEvents events)
    : impl_(std::make_unique<Impl>(std::move(config), std::move(events))) {
    if (!gst_is_initialized()) gst_init(nullptr, nullptr);
}

Call::~Call() {
    Stop();
}

CallState Call::State() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->state;
}

std::optional<std::string> Call::Start() {
    Impl& d = *impl_;
    {
        std::lock_guard lock(d.mutex);
        if (d.started) return "the call is already started";
    }
    const auto peer = CanonicalAddress(d.config.peer_address);
    if (!peer) return "the peer's address is not an IP address";
    if (!d.config.voice && !d.config.video) return "a call needs voice or video";
    if (d.config.voice_frame_ms != 10 && d.config.voice_frame_ms != 20) {
        return "voice frames are 10 or 20 ms";
    }
    d.peer = *peer;
    d.agreement = Agreement{d.config.voice, d.config.video};
    // The context exists before anything of GStreamer can post to it.
    d.context = g_main_context_new();
    d.loop = g_main_loop_new(d.context, FALSE);
    if (auto error = d.Build()) {
        d.Teardown();
        return error;
    }
    GstBus* bus = gst_pipeline_get_bus(GST_PIPELINE(d.pipeline));
    gst_bus_set_sync_handler(
        bus,
        [](GstBus*, GstMessage* m, gpointer p) {
            static_cast<Impl*>(p)->NoteError(m);
            detail::HandOff(m);
            return GST_BUS_PASS;
        },
        &d, nullptr);
    d.bus_watch = gst_bus_create_watch(bus);
    gst_object_unref(bus);
    g_source_set_callback(d.bus_watch, G_SOURCE_FUNC(+[](GstBus*, GstMessage* m, gpointer p) {
                              detail::TakeOver(m);
                              static_cast<Impl*>(p)->OnBus(m);
                              return gboolean(G_SOURCE_CONTINUE);
                          }),
                          &d, nullptr);
    g_source_attach(d.bus_watch, d.context);
    {
        std::lock_guard lock(d.mutex);
        if (d.voice_sender) {
            d.mute = gst_bin_get_by_name(GST_BIN(d.voice_sender), "mute");
            if (d.mute) g_object_set(d.mute, "mute", d.muted ? TRUE : FALSE, nullptr);
        }
        d.started = true;
        d.state = CallState::kIdle;
        d.expect = d.config.dialling ? Impl::Expect::kNothing : Impl::Expect::kOffer;
        d.local_media.clear();
        d.mlines = 0;
    }
    d.offer_made = false;
    d.failure_told = false;
    d.voice_received = false;
    d.video_received = false;
    d.WatchDevices();
    d.running = true;
    d.HoldFrames();
    d.thread = std::thread([&d] {
        g_main_context_push_thread_default(d.context);
        g_main_loop_run(d.loop);
        g_main_context_pop_thread_default(d.context);
    });
    d.Post([&d] {
        d.SetState(CallState::kNegotiating);
        d.OpenDevices();
        d.StartVideoReports();
        if (gst_element_set_state(d.pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
            d.Fail("通话无法开始。");
        }
    });
    return std::nullopt;
}

void Call::Stop() {
    Impl& d = *impl_;
    {
        std::lock_guard lock(d.mutex);
        if (!d.started) return;
    }
    d.running = false;
    d.ReleaseFrames();
    // Stops every streaming thread and webrtcbin's own; nothing of GStreamer calls us after it.
    gst_element_set_state(d.pipeline, GST_STATE_NULL);
    d.Post([&d] { g_main_loop_quit(d.loop); });
    d.thread.join();
    d.Teardown();
    std::lock_guard lock(d.mutex);
    d.started = false;
    d.state = CallState::kIdle;
    d.expect = Impl::Expect::kNothing;
    d.mlines = 0;
}

void Call::Impl::Teardown() {
    ReleaseFrames();
    {
        std::lock_guard lock(mutex);
        if (mute) gst_object_unref(mute);
        mute = nullptr;
    }
    if (bus_watch) {
        g_source_destroy(bus_watch);
        g_source_unref(bus_watch);
        bus_watch = nullptr;
    }
    if (pipeline) {
        gst_element_set_state(pipeline, GST_STATE_NULL);
        gst_object_unref(pipeline);
    }
    pipeline = webrtc = playback = voice_sender = video_sender = nullptr;
    if (loop) g_main_loop_unref(loop);
    loop = nullptr;
    // Tasks still queued are dropped with the context.
    if (context) g_main_context_unref(context);
    context = nullptr;
}

void Call::SetVoiceMuted(bool muted) {
    Impl& d = *impl_;
    std::lock_guard lock(d.mutex);
    d.muted = muted;
    if (d.mute) g_object_set(d.mute, "mute", muted ? TRUE : FALSE, nullptr);
}

std::optional<std::string> Call::HandleDescription(const Description& description) {
    Impl& d = *impl_;
    const bool offer = description.type == Description::Type::kOffer;
    std::lock_guard lock(d.mutex);
    if (!d.started) return "the call is not started";
    if (offer && d.expect != Impl::Expect::kOffer) {
        return d.config.dialling ? "an offer to the dialling side" : "a second offer";
    }
    if (!offer && d.expect != Impl::Expect::kAnswer) {
        return d.config.dialling ? "an answer to no offer of ours"
                                 : "an answer to the answering side";
    }
    SdpSummary summary;
    if (auto fault = CheckDescription(description.sdp, d.agreement, d.peer,
                                      offer ? nullptr : &d.local_media, &summary)) {
        return fault;
    }
    d.expect = Impl::Expect::kDone;
    d.mlines = summary.media.size();
    d.Post([&d, offer, sdp = description.sdp] {
        d.ApplyRemote(offer ? GST_WEBRTC_SDP_TYPE_OFFER : GST_WEBRTC_SDP_TYPE_ANSWER, sdp);
    });
    return std::nullopt;
}

std::optional<std::string> Call::HandleCandidate(const Candidate& candidate) {
    Impl& d = *impl_;
    std::lock_guard lock(d.mutex);
    if (!d.started) return "the call is not started";
    if (auto fault = CheckCandidate(candidate.text, d.peer)) return fault;
    if (d.mlines == 0) return "a candidate before the description it belongs to";
    if (candidate.mline >= d.mlines) return "a candidate for media that does not exist";
    d.Post([&d, mline = candidate.mline, text = candidate.text] {
        g_signal_emit_by_name(d.webrtc, "add-ice-candidate", mline, text.c_str());
    });
    return std::nullopt;
}

}  // namespace quorell::media
