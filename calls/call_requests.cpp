// The window's requests, on the controller's thread.
#include "calls/session_calls_impl.h"

namespace quorell::calls {

namespace {
session::CallMedia WireMedia(MediaKind kind) {
    return kind == MediaKind::kVoice ? session::CallMedia::kVoice : session::CallMedia::kVideo;
}
}  // namespace

void SessionCalls::Impl::DoInvite(MediaKind kind) {
    CallSlot& slot = SlotOf(kind);
    if (slot.phase == CallPhase::kInvited) {
        AcceptInvite(slot);
        return;
    }
    if (slot.phase != CallPhase::kIdle) return;
    slot.id = NewId();
    slot.ours = true;
    SetPhase(slot, CallPhase::kInviting);
    Send(slot, session::CallInvite{slot.id, WireMedia(kind)});
}

void SessionCalls::Impl::DoAccept(MediaKind kind) {
    CallSlot& slot = SlotOf(kind);
    if (slot.phase == CallPhase::kInvited) AcceptInvite(slot);
}

void SessionCalls::Impl::AcceptInvite(CallSlot& slot) {
    slot.ours = false;
    // The media starts before the accept goes, so that the offer the accept brings finds it
    // ready; a side whose media cannot start says it cannot run the call instead.
    if (auto error = StartMedia(slot, /*dialling=*/false)) {
        End(slot, CallEnd::kFailed, *error,
            session::CallDecline{slot.id, session::CallDeclineReason::kUnavailable,
                                 "The call could not start on the peer's side."});
        return;
    }
    SetPhase(slot, CallPhase::kStarting);
    Send(slot, session::CallAccept{slot.id});
}

void SessionCalls::Impl::DoDecline(MediaKind kind) {
    CallSlot& slot = SlotOf(kind);
    if (slot.phase != CallPhase::kInvited) return;
    End(slot, CallEnd::kStoppedHere, {},
        session::CallDecline{slot.id, session::CallDeclineReason::kUserDeclined, {}});
}

void SessionCalls::Impl::DoMute(bool muted) {
    if (voice.phase == CallPhase::kIdle) return;
    voice.muted = muted;
    if (voice.media) voice.media->SetVoiceMuted(muted);
}

void SessionCalls::Impl::DoStop(MediaKind kind) {
    CallSlot& slot = SlotOf(kind);
    switch (slot.phase) {
        case CallPhase::kIdle:
            return;
        case CallPhase::kInvited:
            // Stop on an invite that waits for us declines it.
            DoDecline(kind);
            return;
        case CallPhase::kInviting:
        case CallPhase::kStarting:
        case CallPhase::kRunning:
            End(slot, CallEnd::kStoppedHere, {}, session::CallStop{slot.id, {}});
            return;
    }
}

}  // namespace quorell::calls
