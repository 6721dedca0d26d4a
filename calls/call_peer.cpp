// The peer's call messages, on the controller's thread. Whatever names no call of ours, or does
// not fit the call's phase, is dropped without a word.
#include "calls/session_calls_impl.h"

namespace quorell::calls {

void SessionCalls::Impl::DoMessage(const session::CallMessage& message) {
    std::visit([this](const auto& m) { OnPeer(m); }, message);
}

void SessionCalls::Impl::OnPeer(const session::CallInvite& m) {
    if (m.media != session::CallMedia::kVoice && m.media != session::CallMedia::kVideo) {
        Post(session::CallDecline{m.call, session::CallDeclineReason::kUnavailable,
                                  "This side runs voice and video calls only."});
        return;
    }
    CallSlot& slot =
        SlotOf(m.media == session::CallMedia::kVoice ? MediaKind::kVoice : MediaKind::kVideo);
    // An id the other kind's call uses already would make the two calls one.
    const CallSlot& other = Other(slot);
    if (other.phase != CallPhase::kIdle && other.id == m.call) return;
    switch (slot.phase) {
        case CallPhase::kIdle:
            slot.id = m.call;
            slot.ours = false;
            SetPhase(slot, CallPhase::kInvited);
            return;
        case CallPhase::kInviting:
            // Both sides invited at once: the invite of the side that dialled the session
            // stands. That side drops the other's invite; the other side drops its own, without
            // a word, and accepts the winner's.
            if (config.dialled) return;
            slot.id = m.call;
            AcceptInvite(slot);
            return;
        case CallPhase::kInvited:
        case CallPhase::kStarting:
        case CallPhase::kRunning:
            if (m.call != slot.id) {
                Post(session::CallDecline{m.call, session::CallDeclineReason::kBusy, {}});
            }
            return;
    }
}

void SessionCalls::Impl::OnPeer(const session::CallAccept& m) {
    CallSlot* slot = SlotOfCall(m.call);
    if (!slot || slot->phase != CallPhase::kInviting || !slot->ours) return;
    if (auto error = StartMedia(*slot, /*dialling=*/true)) {
        End(*slot, CallEnd::kFailed, *error,
            session::CallStop{slot->id, "The call could not start on the peer's side."});
        return;
    }
    // The offer follows from the media (OnLocalDescription).
    SetPhase(*slot, CallPhase::kStarting);
}

void SessionCalls::Impl::OnPeer(const session::CallDecline& m) {
    CallSlot* slot = SlotOfCall(m.call);
    if (!slot || slot->phase != CallPhase::kInviting) return;
    const bool busy = m.reason == session::CallDeclineReason::kBusy ||
                      m.reason == session::CallDeclineReason::kUnavailable;
    End(*slot, busy ? CallEnd::kPeerBusy : CallEnd::kPeerDeclined, m.text, std::nullopt);
}

void SessionCalls::Impl::OnPeer(const session::CallDescription& m) {
    CallSlot* slot = SlotOfCall(m.call);
    if (!slot || !slot->media) return;  // before the accept: no media takes it yet
    media::Description description;
    if (m.kind == session::SdpKind::kOffer) {
        description.type = media::Description::Type::kOffer;
    } else if (m.kind == session::SdpKind::kAnswer) {
        description.type = media::Description::Type::kAnswer;
    } else {
        Refused(*slot, "a description neither offer nor answer");
        return;
    }
    description.sdp = m.sdp;
    if (auto refusal = slot->media->HandleDescription(description)) Refused(*slot, *refusal);
}

void SessionCalls::Impl::OnPeer(const session::CallCandidate& m) {
    CallSlot* slot = SlotOfCall(m.call);
    if (!slot || !slot->media) return;
    if (auto refusal = slot->media->HandleCandidate({m.mline, m.text})) Refused(*slot, *refusal);
}

void SessionCalls::Impl::OnPeer(const session::CallStop& m) {
    CallSlot* slot = SlotOfCall(m.call);
    if (!slot) return;
    End(*slot, CallEnd::kPeerStopped, m.text, std::nullopt);
}

void SessionCalls::Impl::Refused(CallSlot& slot, const std::string& reason) {
    End(slot, CallEnd::kFailed, "对方的通话发来了本机不接受的内容（" + reason + "）。",
        session::CallStop{slot.id, "This side refused what your call sent: " + reason + "."});
}

}  // namespace quorell::calls
