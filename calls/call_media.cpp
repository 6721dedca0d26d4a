// The media::Call of each kind: its start and stop, and what it tells, which comes on the
// call's own GLib thread and is posted to the controller's thread (the call must not be started
// or stopped from its own callbacks).
#include "calls/session_calls_impl.h"

namespace quorell::calls {

std::optional<std::string> SessionCalls::Impl::StartMedia(CallSlot& slot, bool dialling) {
    media::CallConfig c = config.base;
    c.dialling = dialling;
    c.voice = slot.kind == MediaKind::kVoice;
    c.video = slot.kind == MediaKind::kVideo;
    c.voice_source = config.voice_source;
    c.voice_output = config.voice_output;
    c.video_source = config.video_source;
    c.video_output.on_frame = {};
    if (c.video) {
        // Straight from the streaming thread to the window, which must not block.
        c.video_output.on_frame = [events = events](const media::VideoFrame& frame) {
            if (events) events->PeerVideoFrame(frame);
        };
    }
    c.peer_address = config.peer_address;
    c.local_addresses = config.local_addresses;

    const MediaKind kind = slot.kind;
    const std::uint64_t generation = ++slot.generation;
    media::CallEvents told;
    told.on_description = [this, kind, generation](const media::Description& d) {
        queue.Post([=, this] { OnLocalDescription(kind, generation, d); });
    };
    told.on_candidate = [this, kind, generation](const media::Candidate& candidate) {
        queue.Post([=, this] { OnLocalCandidate(kind, generation, candidate); });
    };
    told.on_state = [this, kind, generation](media::CallState state) {
        queue.Post([=, this] { OnMediaState(kind, generation, state); });
    };
    told.on_problem = [this, kind, generation](const std::string& text) {
        queue.Post([=, this] { OnMediaProblem(kind, generation, text); });
    };
    auto call = std::make_unique<media::Call>(std::move(c), std::move(told));
    if (slot.muted) call->SetVoiceMuted(true);  // muted while it was still ringing
    if (auto error = call->Start()) return "通话无法开始（" + *error + "）。";
    slot.media = std::move(call);
    slot.last_problem.clear();
    if (slot.kind == MediaKind::kVideo) {
        std::lock_guard lock(frames_mutex);
        frames_to = slot.media.get();
    }
    return std::nullopt;
}

void SessionCalls::Impl::StopMedia(CallSlot& slot) {
    if (!slot.media) return;
    if (slot.kind == MediaKind::kVideo) {
        // No picture is being pushed once this returns.
        std::lock_guard lock(frames_mutex);
        frames_to = nullptr;
    }
    // Joins the call's thread: nothing of it is told after this, and what it posted before is
    // of an older generation.
    slot.media->Stop();
    slot.media.reset();
    ++slot.generation;
}

CallSlot* SessionCalls::Impl::Current(MediaKind kind, std::uint64_t generation) {
    CallSlot& slot = SlotOf(kind);
    return slot.media && slot.generation == generation ? &slot : nullptr;
}

void SessionCalls::Impl::OnLocalDescription(MediaKind kind, std::uint64_t generation,
                                            const media::Description& description) {
    CallSlot* slot = Current(kind, generation);
    if (!slot) return;
    const auto type = description.type == media::Description::Type::kOffer
                          ? session::SdpKind::kOffer
                          : session::SdpKind::kAnswer;
    Send(*slot, session::CallDescription{slot->id, type, description.sdp});
}

void SessionCalls::Impl::OnLocalCandidate(MediaKind kind, std::uint64_t generation,
                                          const media::Candidate& candidate) {
    CallSlot* slot = Current(kind, generation);
    if (!slot) return;
    Send(*slot, session::CallCandidate{slot->id, candidate.mline, candidate.text});
}

void SessionCalls::Impl::OnMediaState(MediaKind kind, std::uint64_t generation,
                                      media::CallState state) {
    CallSlot* slot = Current(kind, generation);
    if (!slot) return;
    if (state == media::CallState::kConnected && slot->phase == CallPhase::kStarting) {
        SetPhase(*slot, CallPhase::kRunning);
    } else if (state == media::CallState::kFailed) {
        const std::string detail =
            slot->last_problem.empty() ? "与对方的连接失败了。" : slot->last_problem;
        End(*slot, CallEnd::kFailed, detail,
            session::CallStop{slot->id, "The call failed on the peer's side."});
    }
}

void SessionCalls::Impl::OnMediaProblem(MediaKind kind, std::uint64_t generation,
                                        const std::string& text) {
    CallSlot* slot = Current(kind, generation);
    if (!slot) return;
    // A failing call tells its reason this way too, just before its state: the end then
    // carries it as its detail.
    slot->last_problem = text;
    if (events) events->CallProblem(kind, text);
}

}  // namespace quorell::calls
