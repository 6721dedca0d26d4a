#pragma once

// The window's side of calls over the session (app/form1_calls.cpp): the voice buttons and the
// video buttons drive the session's calls instead of the plain protocol's streams, the camera's
// pictures go into the video call, and the peer's pictures come back to the peer's picture.
// Used on the user-interface thread, but for the peer's pictures (PeerFrame).

#include <QImage>
#include <QString>
#include <atomic>
#include <memory>
#include <mutex>

#include "app/form1.h"
#include "app/session_calls_link.h"

namespace quorell {

class TForm1::CallsView {
public:
    explicit CallsView(TForm1& form);

    // The session just adopted carries calls when both sides named call/1.
    void Attach(OpenSession& open);
    // The session in `open_` went (already reset): every call shows as ended.
    void Retired();
    bool Active() const;

    // Entry points of the window's handlers over a session with calls; false: not handled
    // here, the plain protocol's behaviour follows.
    bool VoiceSendPressed();       // BitBtn5
    bool VoiceReceivePressed();    // BitBtn6
    void MutePressed(bool muted);  // Button8
    bool VideoStartPressed();      // Button3
    bool VideoStopPressed();       // Button4
    bool VideoReceivePressed();    // BitBtn1
    // One picture of our camera while it runs for a call.
    bool CameraFrame(const QImage& frame);
    // The peer's pictures are showing (the bigger view may open).
    bool ShowingPeerVideo() const;
    // What the connection label adds while calls run, e.g. "语音已加密"; empty when none runs.
    QString RunningNote() const;

    void News(const session::Session* which, CallsNews news);

private:
    // The latest of the peer's pictures, waiting for the user-interface thread; the media
    // thread never waits for it.
    struct FrameRelay {
        std::mutex mu;
        std::atomic<QObject*> target{nullptr};  // the window; none once the calls are retired
        QImage latest;
        bool posted = false;
    };

    bool Current(const session::Session* which) const;
    calls::CallPhase Phase(media::MediaKind kind) const;
    void PhaseChanged(media::MediaKind kind, calls::CallPhase phase);
    void Ended(const CallEndNews& news);
    void ShowVoice();
    void ShowVideo();
    void StopCamera();
    void Line(const QString& text);
    void ShowPeerFrame(const std::shared_ptr<FrameRelay>& relay);

    TForm1& form_;
    calls::CallPhase voice_ = calls::CallPhase::kIdle;
    calls::CallPhase video_ = calls::CallPhase::kIdle;
    bool camera_ = false;  // our camera runs for the video call
    bool peer_frames_ = false;
    std::shared_ptr<FrameRelay> relay_ = std::make_shared<FrameRelay>();
};

}  // namespace quorell
