// The video the call sends follows what the peer receives: every couple of seconds the peer's
// reception reports (RTCP, through webrtcbin's statistics) go to the video ladder, whose steps
// set the sender's picture size, frame rate and bit rate.
#include "media/call_impl.h"
#include "media/call_pipeline.h"

namespace quorell::media {
namespace {

constexpr guint kReportMs = 2000;

// The fraction of our video the peer reported lost, or a negative number when there is no
// report yet.
double VideoLoss(const GstStructure* stats) {
    double loss = -1;
    gst_structure_foreach(
        stats,
        [](GQuark, const GValue* value, gpointer data) -> gboolean {
            if (!GST_VALUE_HOLDS_STRUCTURE(value)) return TRUE;
            const GstStructure* s = gst_value_get_structure(value);
            GstWebRTCStatsType type;
            if (!gst_structure_get(s, "type", GST_TYPE_WEBRTC_STATS_TYPE, &type, nullptr) ||
                type != GST_WEBRTC_STATS_REMOTE_INBOUND_RTP) {
                return TRUE;
            }
            const gchar* kind = gst_structure_get_string(s, "kind");
            double fraction;
            if (kind && g_str_equal(kind, "video") &&
                gst_structure_get_double(s, "fraction-lost", &fraction)) {
                *static_cast<double*>(data) = fraction;
            }
            return TRUE;
        },
        &loss);
    return loss;
}

}  // namespace

void Call::Impl::StartVideoReports() {
    ladder.emplace(config.video_width, config.video_height, config.video_fps, config.video_kbps);
    if (!video_sender) return;
    GSource* timer = g_timeout_source_new(kReportMs);
    g_source_set_callback(
        timer,
        [](gpointer data) {
            static_cast<Impl*>(data)->AskVideoReport();
            return gboolean(G_SOURCE_CONTINUE);
        },
        this, nullptr);
    g_source_attach(timer, context);
    g_source_unref(timer);  // the context keeps it until it goes
}

void Call::Impl::AskVideoReport() {
    if (!running || !video_sender) return;
    GstPromise* promise = gst_promise_new_with_change_func(
        [](GstPromise* p, gpointer data) {
            auto* d = static_cast<Impl*>(data);
            double loss = -1;
            if (gst_promise_wait(p) == GST_PROMISE_RESULT_REPLIED && gst_promise_get_reply(p)) {
                loss = VideoLoss(gst_promise_get_reply(p));
            }
            gst_promise_unref(p);
            if (loss >= 0) d->Post([d, loss] { d->OnVideoLoss(loss); });
        },
        this, nullptr);
    g_signal_emit_by_name(webrtc, "get-stats", nullptr, promise);
}

void Call::Impl::OnVideoLoss(double fraction) {
    if (!running || !video_sender || !ladder) return;
    if (const auto step = ladder->Report(fraction)) ApplyVideoStep(*step);
}

void Call::Impl::ApplyVideoStep(const VideoStep& step) {
    if (GstElement* size = gst_bin_get_by_name(GST_BIN(video_sender), "size")) {
        GstCaps* caps =
            gst_caps_from_string(detail::VideoSizeCaps(step.width, step.height, step.fps).c_str());
        g_object_set(size, "caps", caps, nullptr);
        gst_caps_unref(caps);
        gst_object_unref(size);
    }
    if (GstElement* encoder = gst_bin_get_by_name(GST_BIN(video_sender), "encoder")) {
        g_object_set(encoder, "target-bitrate", step.kbps * 1000, nullptr);
        gst_object_unref(encoder);
    }
}

}  // namespace quorell::media
