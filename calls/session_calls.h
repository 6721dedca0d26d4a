#pragma once

// The calls of one session with the peer's copy: at most one voice call and one video call, each
// a media::Call whose descriptions and candidates travel as the session's call messages. The
// window asks (Invite, Accept, Decline, Stop) and hears back through ISessionCallsEvents. No Qt.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "media/call_config.h"
#include "media/signaling.h"
#include "session/call_messages.h"

namespace quorell::calls {

using media::MediaKind;

// Where one kind of call stands, as the window shows it.
enum class CallPhase {
    kIdle,      // no call of this kind
    kInviting,  // we invited; waiting for the peer's user
    kInvited,   // the peer invited; waiting for ours (Accept or Decline)
    kStarting,  // accepted; the media engines are connecting
    kRunning,   // media flows, encrypted (DTLS-SRTP keyed through the session)
};

// Why a call of one kind ended (its phase is then kIdle again).
enum class CallEnd {
    kStoppedHere,   // Stop or Decline on this side
    kPeerStopped,   // the peer stopped, withdrew its invite, or left
    kPeerDeclined,  // the peer's user declined our invite
    kPeerBusy,      // the peer runs a call of that kind already, or cannot run calls
    kFailed,        // the media could not connect or broke; `detail` says why
    kClosed,        // the session ended
};

// Told from the controller's own thread, one at a time and in order, with no lock of the
// controller's held: a handler may call the controller back (it queues), but must not wait for
// a thread that may be in Close. Frames come from a media thread and must not block. A call
// that ends is told as CallPhaseChanged(kIdle), then CallEnded; a call whose media fails may
// tell the reason as a CallProblem first, and CallEnded(kFailed) carries it again as `detail`.
class ISessionCallsEvents {
public:
    virtual ~ISessionCallsEvents() = default;
    virtual void CallPhaseChanged(MediaKind kind, CallPhase phase) = 0;
    virtual void CallEnded(MediaKind kind, CallEnd why, const std::string& detail) = 0;
    // A device that could not be used or died mid-call, in plain words, once; the call goes on
    // without it.
    virtual void CallProblem(MediaKind kind, const std::string& text) = 0;
    // One picture of the peer's video (packed RGB), on a media thread.
    virtual void PeerVideoFrame(const media::VideoFrame& frame) = 0;
};

struct SessionCallsConfig {
    // The peer's address as the session sees it, and ours the media may use (empty: any).
    std::string peer_address;
    std::vector<std::string> local_addresses;
    // When both sides invite to the same kind at once, the invite of the side that dialled the
    // session stands and the other side takes it as accepted.
    bool dialled = false;
    // What a voice call sends and where the peer's voice goes (the user's microphone and
    // speaker; tests give a tone and a recording callback).
    media::VoiceSource voice_source;
    media::VoiceOutput voice_output;
    // What a video call sends: kFrames for pictures given to PushVideoFrame (the window's
    // camera), kPattern in tests. The peer's pictures go to PeerVideoFrame.
    media::VideoSource video_source;
    // The rest of each call's settings (frame length, jitter buffer, video size); the fields
    // above and the media of each call override what this says.
    media::CallConfig base;
};

class SessionCalls {
public:
    // Puts one message on the session to the peer; false when it could not (the session ended).
    using SendFn = std::function<bool(const session::CallMessage&)>;

    SessionCalls(SessionCallsConfig config, SendFn send,
                 std::shared_ptr<ISessionCallsEvents> events);
    ~SessionCalls();  // Close()
    SessionCalls(const SessionCalls&) = delete;
    SessionCalls& operator=(const SessionCalls&) = delete;

    // The window's requests: each is queued and returns at once. Those that do not fit the
    // phase do nothing (Accept with no invite, Invite while a call of the kind runs...);
    // Invite while the peer's invite waits accepts it.
    void Invite(MediaKind kind);
    void Accept(MediaKind kind);
    void Decline(MediaKind kind);
    // Ends the call of that kind, or withdraws our invite, and tells the peer; on the peer's
    // invite that waits, declines it.
    void Stop(MediaKind kind);
    // While muted, the voice call sends silence and goes on; each voice call starts unmuted.
    // Does nothing while no voice call is under way.
    void SetVoiceMuted(bool muted);

    // A call message from the peer, from the session's thread. Messages with an unknown call
    // id, or that do not fit the phase, are dropped; signalling the media engine refuses ends
    // that call as failed and tells the peer.
    void OnMessage(const session::CallMessage& message);

    // One picture of our camera for a running video call (ignored otherwise; taken from the
    // accept on, while the media connects); packed RGB. Any thread; the call copies it.
    void PushVideoFrame(const std::uint8_t* rgb, int width, int height, int stride);

    // Cheap, any thread.
    CallPhase Phase(MediaKind kind) const;

    // The session ended (or the window closes): every call stops at once, nothing more is sent,
    // and CallEnded(kClosed) is told for each call that was not idle. Returns when the calls'
    // threads are gone and the last event has been told. From an event handler (where it
    // cannot wait for its own thread) it only asks: the calls stop and kClosed is told once the
    // handler returned, and the destructor or a Close from another thread waits for the thread.
    // The destructor may run in an event handler too: the thread then ends on its own.
    void Close();

    struct Impl;

private:
    std::shared_ptr<Impl> impl_;
};

}  // namespace quorell::calls
