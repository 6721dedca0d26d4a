#pragma once

// The inside of SessionCalls, shared by its files: session_calls.cpp (the owner's side and the
// controller's thread), call_requests.cpp (the window's requests), call_peer.cpp (the peer's
// messages), call_media.cpp (the media::Call of each kind and what it tells). Everything but
// the queue, `shown`, `frames_to` and the thread's handle is the controller thread's alone.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>

#include "calls/session_calls.h"
#include "calls/task_queue.h"
#include "media/call.h"

namespace quorell::calls {

// The call of one kind.
struct CallSlot {
    explicit CallSlot(MediaKind k) : kind(k) {}

    const MediaKind kind;
    CallPhase phase = CallPhase::kIdle;
    std::atomic<CallPhase> shown{CallPhase::kIdle};  // `phase` for Phase(), any thread
    std::uint64_t id = 0;                            // the call's id while not idle
    bool ours = false;                               // we invited
    std::unique_ptr<media::Call> media;              // from the start of the media to its stop
    // Bumped at each start and stop of the media: what the media told before its stop is then
    // told of a call that is gone, and dropped.
    std::uint64_t generation = 0;
    std::string last_problem;
    bool muted = false;  // voice: what we send is silence, from the start of the media too
};

struct SessionCalls::Impl {
    Impl(SessionCallsConfig c, SendFn s, std::shared_ptr<ISessionCallsEvents> e);

    SessionCallsConfig config;
    SendFn send;
    std::shared_ptr<ISessionCallsEvents> events;

    TaskQueue queue;
    std::thread thread;
    std::mutex join_mutex;  // Close from two threads joins once

    CallSlot voice{MediaKind::kVoice};
    CallSlot video{MediaKind::kVideo};
    std::mt19937_64 random;

    // The started video call's media, for PushVideoFrame from any thread.
    std::mutex frames_mutex;
    media::Call* frames_to = nullptr;

    // The controller's thread (session_calls.cpp).
    void Run();
    bool OnControllerThread() const;
    void CloseAll();

    CallSlot& SlotOf(MediaKind kind) { return kind == MediaKind::kVoice ? voice : video; }
    CallSlot& Other(const CallSlot& slot) { return &slot == &voice ? video : voice; }
    // The call of that id, if one is not idle.
    CallSlot* SlotOfCall(std::uint64_t id);
    std::uint64_t NewId();

    // Puts one message on the session: false when the session took none or we are closing.
    bool Post(const session::CallMessage& message);
    // Posts a message of the call in `slot`; when it could not, the call ends as kClosed.
    bool Send(CallSlot& slot, const session::CallMessage& message);
    void SetPhase(CallSlot& slot, CallPhase phase);
    // Ends the call of `slot` (nothing when idle): tells the peer `to_peer` if any, stops the
    // media, then tells the phase and the end.
    void End(CallSlot& slot, CallEnd why, const std::string& detail,
             const std::optional<session::CallMessage>& to_peer);

    // The window's requests (call_requests.cpp).
    void DoInvite(MediaKind kind);
    void DoAccept(MediaKind kind);
    void DoDecline(MediaKind kind);
    void DoStop(MediaKind kind);
    void DoMute(bool muted);
    // Accepts the peer's invite waiting in `slot`: starts the answering media, then accepts.
    void AcceptInvite(CallSlot& slot);

    // The peer's messages (call_peer.cpp).
    void DoMessage(const session::CallMessage& message);
    void OnPeer(const session::CallInvite& m);
    void OnPeer(const session::CallAccept& m);
    void OnPeer(const session::CallDecline& m);
    void OnPeer(const session::CallDescription& m);
    void OnPeer(const session::CallCandidate& m);
    void OnPeer(const session::CallStop& m);
    // The media refused what the peer sent: the call ends as failed and the peer is told.
    void Refused(CallSlot& slot, const std::string& reason);

    // The media of each call (call_media.cpp).
    std::optional<std::string> StartMedia(CallSlot& slot, bool dialling);
    void StopMedia(CallSlot& slot);
    // The slot whose media of that generation still runs.
    CallSlot* Current(MediaKind kind, std::uint64_t generation);
    void OnLocalDescription(MediaKind kind, std::uint64_t generation,
                            const media::Description& description);
    void OnLocalCandidate(MediaKind kind, std::uint64_t generation,
                          const media::Candidate& candidate);
    void OnMediaState(MediaKind kind, std::uint64_t generation, media::CallState state);
    void OnMediaProblem(MediaKind kind, std::uint64_t generation, const std::string& text);
};

}  // namespace quorell::calls
