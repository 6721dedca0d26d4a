#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "media/call_config.h"
#include "media/signaling.h"

namespace quorell::media {

// One voice and video call with the peer's copy: a webrtcbin pipeline (ICE on host candidates,
// DTLS-SRTP, RTP/RTCP with a jitter buffer and retransmission, Opus and VP8) run by a GLib main
// loop on a thread of its own, never the default main context. The descriptions and candidates
// travel through the owner (the session); CallEvents says on which thread it hears back.
//
// Start, Stop and the Handle methods are for one owning thread (not a CallEvents callback).
class Call {
public:
    Call(CallConfig config, CallEvents events);
    ~Call();  // stops
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

    // Builds the pipeline and starts it; the dialling side then makes its offer. Returns the
    // reason when it cannot (GStreamer lacks an element the call needs, already started, bad
    // configuration). A call that was stopped may be started again, with the peer's call
    // started again too.
    std::optional<std::string> Start();
    // Tears the pipeline down at once and joins the call's thread. Safe to call twice.
    void Stop();

    // The peer's description and candidates. Refused (the reason returned, nothing changes)
    // when they do not pass the checks of signal_check.h, when the call is not started, or when
    // the description is not the one expected now: the answering side takes one offer, the
    // dialling side one answer to the offer it sent.
    std::optional<std::string> HandleDescription(const Description& description);
    std::optional<std::string> HandleCandidate(const Candidate& candidate);

    CallState State() const;

    // While muted the voice sent is silence; the call keeps sending it (the peer's jitter
    // buffer and our echo canceller carry on). Kept across Stop and Start.
    void SetVoiceMuted(bool muted);

    // With VideoSource::kFrames: one picture to send, packed RGB `stride` bytes a row, copied.
    // Any thread; dropped while the call is not started, and scaled to the call's video size.
    void PushVideoFrame(const std::uint8_t* rgb, int width, int height, int stride);

    struct Impl;  // the inside, shared by the library's own files (call_impl.h)

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace quorell::media
