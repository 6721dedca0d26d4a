#include <memory>

#include "media/call_impl.h"

namespace quorell::media {

gboolean RunTask(gpointer data) {
    (*static_cast<Task*>(data))();
    return G_SOURCE_REMOVE;
}

void DeleteTask(gpointer data) {
    delete static_cast<Task*>(data);
}

std::string SdpText(GstWebRTCSessionDescription* description) {
    gchar* text = gst_sdp_message_as_text(description->sdp);
    std::string sdp(text ? text : "");
    g_free(text);
    return sdp;
}

std::string PromiseError(GstPromise* promise) {
    if (gst_promise_wait(promise) != GST_PROMISE_RESULT_REPLIED) return "no reply";
    const GstStructure* reply = gst_promise_get_reply(promise);
    GError* error = nullptr;
    if (reply && gst_structure_get(reply, "error", G_TYPE_ERROR, &error, nullptr) && error) {
        std::string text = error->message;
        g_error_free(error);
        return text;
    }
    return {};
}

namespace {

using DescriptionPtr =
    std::shared_ptr<GstWebRTCSessionDescription>;  // freed where the task runs or is dropped

// The description a promise of create-offer or create-answer was answered with.
DescriptionPtr TakeDescription(GstPromise* promise, const char* field, std::string* error) {
    GstWebRTCSessionDescription* description = nullptr;
    if (gst_promise_wait(promise) == GST_PROMISE_RESULT_REPLIED) {
        const GstStructure* reply = gst_promise_get_reply(promise);
        if (reply) {
            gst_structure_get(reply, field, GST_TYPE_WEBRTC_SESSION_DESCRIPTION, &description,
                              nullptr);
        }
        if (!description) *error = PromiseError(promise);
    } else {
        *error = "no reply";
    }
    gst_promise_unref(promise);
    return DescriptionPtr(description, [](GstWebRTCSessionDescription* d) {
        if (d) gst_webrtc_session_description_free(d);
    });
}

// Asks webrtcbin for an offer or an answer; the call's thread carries on with it.
void Create(Call::Impl* d, const char* action, const char* field) {
    struct Ask {
        Call::Impl* d;
        const char* field;
    };
    GstPromise* promise = gst_promise_new_with_change_func(
        [](GstPromise* p, gpointer data) {
            const auto* ask = static_cast<Ask*>(data);
            std::string error;
            DescriptionPtr description = TakeDescription(p, ask->field, &error);
            Call::Impl* d = ask->d;
            d->Post([d, description, error] {
                if (description) {
                    d->OnLocalDescription(description.get());
                } else {
                    d->Fail("通话无法生成给对方的描述：" + error);
                }
            });
        },
        new Ask{d, field}, [](gpointer data) { delete static_cast<Ask*>(data); });
    g_signal_emit_by_name(d->webrtc, action, nullptr, promise);
}

}  // namespace

void Call::Impl::MakeOffer() {
    if (offer_made || !running) return;
    offer_made = true;
    Create(this, "create-offer", "offer");
}

void Call::Impl::OnLocalDescription(GstWebRTCSessionDescription* description) {
    if (!running) return;
    g_signal_emit_by_name(webrtc, "set-local-description", description, nullptr);
    const bool offer = description->type == GST_WEBRTC_SDP_TYPE_OFFER;
    Description out{offer ? Description::Type::kOffer : Description::Type::kAnswer,
                    SdpText(description)};
    if (offer) {
        // The answer must carry exactly the media of our offer.
        SdpSummary summary;
        if (auto fault = CheckDescription(out.sdp, agreement, peer, nullptr, &summary)) {
            Fail("通话生成了无法使用的邀请（" + *fault + "）。");
            return;
        }
        std::lock_guard lock(mutex);
        local_media = summary.media;
        expect = Expect::kAnswer;
    }
    if (events.on_description) events.on_description(out);
}

void Call::Impl::ApplyRemote(GstWebRTCSDPType type, std::string sdp) {
    if (!running) return;
    GstSDPMessage* message = nullptr;
    if (gst_sdp_message_new_from_text(sdp.c_str(), &message) != GST_SDP_OK) {
        if (message) gst_sdp_message_free(message);
        Fail("无法读取对方的描述。");
        return;
    }
    GstWebRTCSessionDescription* description = gst_webrtc_session_description_new(type, message);
    GstPromise* promise = gst_promise_new_with_change_func(
        [](GstPromise* p, gpointer data) {
            auto* d = static_cast<Call::Impl*>(data);
            std::string error = PromiseError(p);
            gst_promise_unref(p);
            d->Post([d, error] {
                if (!error.empty()) {
                    d->Fail("对方的描述未被接受：" + error);
                } else if (!d->config.dialling) {
                    Create(d, "create-answer", "answer");
                }
            });
        },
        this, nullptr);
    g_signal_emit_by_name(webrtc, "set-remote-description", description, promise);
    gst_webrtc_session_description_free(description);
}

}  // namespace quorell::media
