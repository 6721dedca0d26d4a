// The window's side of calls over the session: voice and video buttons, the camera's pictures
// into the video call and the peer's pictures into the peer's picture, and the history lines.
#include <QLabel>
#include <QPushButton>

#include "app/devices.h"
#include "app/form1_calls_view.h"

namespace quorell {

using calls::CallEnd;
using calls::CallPhase;
using media::MediaKind;

namespace {

bool Live(CallPhase phase) {
    return phase == CallPhase::kStarting || phase == CallPhase::kRunning;
}

QString KindName(MediaKind kind) {
    return kind == MediaKind::kVoice ? QStringLiteral("语音") : QStringLiteral("视频");
}

}  // namespace

TForm1::CallsView::CallsView(TForm1& form) : form_(form) {}

bool TForm1::CallsView::Active() const {
    return form_.open_ && form_.open_->calls;
}

bool TForm1::CallsView::Current(const session::Session* which) const {
    return Active() && form_.open_->session.get() == which;
}

void TForm1::CallsView::Attach(OpenSession& open) {
    const session::SessionInfo& info = open.session->Info();
    if (!info.agreement.Has(session::kCallCapability)) return;
    calls::SessionCallsConfig config;
    config.peer_address = info.peer_address.Text();
    if (!form_.config_.bind_address.empty()) config.local_addresses = {form_.config_.bind_address};
    config.dialled = info.dialled;
    config.voice_source.kind = media::VoiceSource::Kind::kMicrophone;
    config.video_source.kind = media::VideoSource::Kind::kFrames;
    if (form_.devices_.call_devices) form_.devices_.call_devices(config);

    relay_ = std::make_shared<FrameRelay>();
    relay_->target = &form_;
    const session::Session* which = open.session.get();
    open.calls = std::make_shared<SessionCallsLink>(
        open.session, std::move(config),
        [bridge = form_.bridge_, ref = form_.session_ref_, which](CallsNews news) {
            try {
                bridge->Invoke([&] { ref->Get().calls_view_->News(which, std::move(news)); });
            } catch (...) {
                // The window is closing: its close ends the calls.
            }
        },
        [relay = relay_](const media::VideoFrame& frame) {
            if (frame.rgb == nullptr || frame.width <= 0 || frame.height <= 0) return;
            const QImage picture(frame.rgb, frame.width, frame.height, frame.stride,
                                 QImage::Format_RGB888);
            QImage copy = picture.copy();
            std::lock_guard lock(relay->mu);
            if (relay->target == nullptr) return;
            relay->latest = std::move(copy);
            if (relay->posted) return;
            relay->posted = true;
            // Dropped by Qt if the window is gone first; the window retires the relay before.
            QMetaObject::invokeMethod(
                relay->target.load(),
                [relay] {
                    auto* form = static_cast<TForm1*>(relay->target.load());
                    if (form != nullptr) form->calls_view_->ShowPeerFrame(relay);
                },
                Qt::QueuedConnection);
        });
}

void TForm1::CallsView::Retired() {
    {
        std::lock_guard lock(relay_->mu);
        relay_->target = nullptr;
    }
    if (voice_ != CallPhase::kIdle || video_ != CallPhase::kIdle)
        Line(QStringLiteral("通话已结束（加密会话已结束）。"));
    voice_ = CallPhase::kIdle;
    video_ = CallPhase::kIdle;
    StopCamera();
    // The buttons go back to the plain protocol's state.
    form_.BitBtn5->setText(QStringLiteral("发送语音"));
    form_.BitBtn6->setText(QStringLiteral("接收语音"));
    form_.BitBtn6->setEnabled(false);
    form_.Button8->setChecked(false);
    form_.Button8->hide();
    form_.ShowReceiving(false);
    form_.Edit3Change();
    form_.SetStartEnabled(true);
    form_.SetStopEnabled(false);
    if (peer_frames_) form_.ShowPlaceholder();
    peer_frames_ = false;
}

CallPhase TForm1::CallsView::Phase(MediaKind kind) const {
    return kind == MediaKind::kVoice ? voice_ : video_;
}

bool TForm1::CallsView::VoiceSendPressed() {
    if (!Active()) return false;
    calls::SessionCalls& calls = form_.open_->calls->Calls();
    if (voice_ == CallPhase::kIdle) {
        calls.Invite(MediaKind::kVoice);
    } else if (voice_ == CallPhase::kInvited) {
        calls.Accept(MediaKind::kVoice);
    } else {
        calls.Stop(MediaKind::kVoice);
    }
    return true;
}

bool TForm1::CallsView::VoiceReceivePressed() {
    if (!Active()) return false;
    calls::SessionCalls& calls = form_.open_->calls->Calls();
    if (voice_ == CallPhase::kInvited) calls.Accept(MediaKind::kVoice);
    if (Live(voice_)) calls.Stop(MediaKind::kVoice);
    return true;
}

void TForm1::CallsView::MutePressed(bool muted) {
    if (!Active() || voice_ == CallPhase::kIdle || voice_ == CallPhase::kInvited) return;
    form_.open_->calls->Calls().SetVoiceMuted(muted);
    Line(muted ? QStringLiteral("已静音，对方听不到你的声音。") : QStringLiteral("已取消静音。"));
}

bool TForm1::CallsView::VideoStartPressed() {
    if (!Active()) return false;
    if (!camera_) {
        form_.video_.StartCapture(
            [&form = form_](const QImage& frame) { form.FrameCallback(frame); });
        camera_ = true;
    }
    calls::SessionCalls& calls = form_.open_->calls->Calls();
    if (video_ == CallPhase::kIdle) calls.Invite(MediaKind::kVideo);
    if (video_ == CallPhase::kInvited) calls.Accept(MediaKind::kVideo);
    ShowVideo();
    return true;
}

bool TForm1::CallsView::VideoStopPressed() {
    if (!Active()) return false;
    StopCamera();
    if (video_ != CallPhase::kIdle) form_.open_->calls->Calls().Stop(MediaKind::kVideo);
    ShowVideo();
    return true;
}

bool TForm1::CallsView::VideoReceivePressed() {
    if (!Active()) return false;
    calls::SessionCalls& calls = form_.open_->calls->Calls();
    if (video_ == CallPhase::kInvited) calls.Accept(MediaKind::kVideo);
    if (Live(video_)) calls.Stop(MediaKind::kVideo);
    return true;
}

bool TForm1::CallsView::CameraFrame(const QImage& frame) {
    if (!Active() || !camera_) return false;
    form_.video_.Preview(frame);
    if (Live(video_)) {
        const QImage rgb = frame.convertToFormat(QImage::Format_RGB888);
        form_.open_->calls->Calls().PushVideoFrame(rgb.constBits(), rgb.width(), rgb.height(),
                                                   static_cast<int>(rgb.bytesPerLine()));
    }
    return true;
}

bool TForm1::CallsView::ShowingPeerVideo() const {
    return Active() && Live(video_) && peer_frames_;
}

QString TForm1::CallsView::RunningNote() const {
    const bool voice = voice_ == CallPhase::kRunning;
    const bool video = video_ == CallPhase::kRunning;
    if (voice && video) return QStringLiteral("语音、视频已加密");
    if (voice) return QStringLiteral("语音已加密");
    if (video) return QStringLiteral("视频已加密");
    return {};
}

void TForm1::CallsView::News(const session::Session* which, CallsNews news) {
    if (!Current(which)) return;
    if (const auto* phase = std::get_if<CallPhaseNews>(&news)) {
        PhaseChanged(phase->kind, phase->phase);
    } else if (const auto* end = std::get_if<CallEndNews>(&news)) {
        Ended(*end);
    } else if (const auto* problem = std::get_if<CallProblemNews>(&news)) {
        Line(QString::fromStdString(problem->text));
    }
}

void TForm1::CallsView::PhaseChanged(MediaKind kind, CallPhase phase) {
    (kind == MediaKind::kVoice ? voice_ : video_) = phase;
    const QString name = KindName(kind);
    switch (phase) {
        case CallPhase::kInviting:
            Line(QStringLiteral("已邀请对方%1通话，等待对方接听。").arg(name));
            break;
        case CallPhase::kInvited: {
            const QString text = kind == MediaKind::kVoice
                                     ? QStringLiteral("对方邀请你语音通话，按“接收语音”接听。")
                                     : QStringLiteral("对方邀请你视频通话，按“接收视频”观看。");
            Line(text);
            form_.TellUser(text);
            break;
        }
        case CallPhase::kRunning:
            Line(QStringLiteral("%1通话已接通，经加密会话传输（DTLS-SRTP）。").arg(name));
            break;
        case CallPhase::kIdle:
        case CallPhase::kStarting:
            break;
    }
    kind == MediaKind::kVoice ? ShowVoice() : ShowVideo();
    form_.ShowConnectionKind();
}

void TForm1::CallsView::Ended(const CallEndNews& news) {
    (news.kind == MediaKind::kVoice ? voice_ : video_) = CallPhase::kIdle;
    const QString name = KindName(news.kind);
    switch (news.why) {
        case CallEnd::kStoppedHere:
            Line(QStringLiteral("%1通话已结束。").arg(name));
            break;
        case CallEnd::kPeerStopped:
            Line(QStringLiteral("对方结束了%1通话。").arg(name));
            break;
        case CallEnd::kPeerDeclined:
            Line(QStringLiteral("对方拒绝了%1通话。").arg(name));
            break;
        case CallEnd::kPeerBusy:
            Line(QStringLiteral("对方现在无法接听%1通话。").arg(name));
            break;
        case CallEnd::kFailed:
            Line(QStringLiteral("%1通话失败：%2").arg(name, QString::fromStdString(news.detail)));
            break;
        case CallEnd::kClosed:
            Line(QStringLiteral("%1通话已结束（加密会话已结束）。").arg(name));
            break;
    }
    if (news.kind == MediaKind::kVoice) {
        ShowVoice();
    } else {
        StopCamera();
        if (peer_frames_) form_.ShowPlaceholder();
        peer_frames_ = false;
        ShowVideo();
    }
    form_.ShowConnectionKind();
}

void TForm1::CallsView::ShowVoice() {
    form_.BitBtn5->setText(voice_ == CallPhase::kIdle ? QStringLiteral("发送语音")
                                                      : QStringLiteral("取消语音"));
    form_.BitBtn6->setText(Live(voice_) ? QStringLiteral("取消接收") : QStringLiteral("接收语音"));
    form_.BitBtn6->setEnabled(voice_ == CallPhase::kInvited || Live(voice_));
    // Each call starts unmuted, as the controller starts it.
    const bool joined = voice_ != CallPhase::kIdle && voice_ != CallPhase::kInvited;
    if (!joined) form_.Button8->setChecked(false);
    form_.Button8->setVisible(joined);
}

void TForm1::CallsView::ShowVideo() {
    form_.SetStartEnabled(!camera_);
    form_.SetStopEnabled(camera_ || video_ != CallPhase::kIdle);
    form_.ShowReceiving(Live(video_));
    form_.BitBtn1->setEnabled(video_ == CallPhase::kInvited || Live(video_));
}

void TForm1::CallsView::StopCamera() {
    if (!camera_) return;
    form_.video_.EndCapture();
    camera_ = false;
}

void TForm1::CallsView::ShowPeerFrame(const std::shared_ptr<FrameRelay>& relay) {
    QImage picture;
    {
        std::lock_guard lock(relay->mu);
        relay->posted = false;
        picture = std::move(relay->latest);
        relay->latest = QImage();
    }
    if (relay != relay_ || !Live(video_) || picture.isNull()) return;
    peer_frames_ = true;
    form_.ShowFrame(picture);
}

void TForm1::CallsView::Line(const QString& text) {
    form_.AddSystemLine(QStringLiteral("[系统消息]：") + text);
}

}  // namespace quorell
