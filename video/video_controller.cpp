#include "video/video_controller.h"

#include <chrono>

#include "protocol/control_lines.h"

namespace quorell {

using protocol::Encode;
using protocol::LineKind;

namespace {

constexpr auto kPreviewInterval = std::chrono::milliseconds(30);

// A number that is no port binds nothing: the server refuses it as it refuses any bad port.
int ReceivePort(long port) {
    return port < 0 || port > 65535 ? -1 : static_cast<int>(port);
}

}  // namespace

void VideoController::Start(const ICaptureDevice::FrameHandler& frames) {
    StartCapture(frames);
    // Capture goes on whether or not the peer hears of it; only a peer that heard both lines
    // gets the stop offered.
    sending_ = SendState::Stranded;
    if (!control_.SendControlLine(Encode(LineKind::VideoOpened))) return;
    if (!control_.SendControlLine(Encode(LineKind::VideoPort, window_.LocalVideoPort()))) return;
    sending_ = SendState::Sending;
    window_.SetStopEnabled(true);
}

void VideoController::StartCapture(const ICaptureDevice::FrameHandler& frames) {
    window_.SetStartEnabled(false);
    window_.NewCaptureSurface();

    camera_fault_.reset();
    ICaptureDevice* camera = camera_.get();
    if (camera != nullptr) camera->Disconnect();
    camera_running_ =
        camera != nullptr &&
        camera->Connect(
            frames,
            [this](CaptureFault fault, const std::string& detail) { CameraFaulted(fault, detail); },
            kPreviewInterval);
    if (!camera_running_) window_.ShowCaptureNote(CaptureNote::NoCamera, {});
}

void VideoController::Frame(const QImage& frame) {
    Preview(frame);
    sender_.OnFrame(frame);
}

void VideoController::Preview(const QImage& frame) {
    if (camera_fault_) {
        // The camera is back: its pictures take the place of the fault's words.
        camera_fault_.reset();
        window_.ClearCaptureNote();
    }
    window_.ShowPreview(frame);
}

void VideoController::CameraFaulted(CaptureFault fault, const std::string& detail) {
    // Said once for each fault, where the frozen picture would be; sending goes on and the
    // peer is not told.
    if (camera_fault_ == fault) return;
    camera_fault_ = fault;
    window_.ShowCaptureNote(
        fault == CaptureFault::Unplugged ? CaptureNote::Unplugged : CaptureNote::Failed, detail);
}

void VideoController::EndCapture() {
    if (camera_) camera_->Disconnect();
    camera_running_ = false;
}

void VideoController::Stop() {
    EndCapture();
    sending_ = SendState::Stopped;
    window_.SetStartEnabled(true);
    window_.SetStopEnabled(false);
    control_.SendControlLine(Encode(LineKind::VideoClosed));
}

void VideoController::ToggleReceiving() {
    if (!receiving_) {
        if (!peer_port_) return;
        link_.StartReceiving(ReceivePort(*peer_port_),
                             [this](std::string_view datagram) { FrameArrived(datagram); });
        receiving_ = true;
        window_.ShowReceiving(true);
        control_.SendControlLine(Encode(LineKind::VideoReceiving));
        return;
    }
    receiving_ = false;
    window_.ShowReceiving(false);
    link_.StopReceiving();
    BackToPlaceholder();
    control_.SendControlLine(Encode(LineKind::VideoNotReceiving));
}

void VideoController::PeerVideoPort(long port) {
    peer_port_ = port;
    window_.ShowPeerVideoPort(port);
}

void VideoController::PeerClosedVideo() {
    BackToPlaceholder();
    receiving_ = false;
    window_.ShowReceiving(false);
    peer_port_.reset();
    window_.ShowPeerVideoPort(std::nullopt);
    link_.StopReceiving();
}

void VideoController::BackToPlaceholder() {
    window_.ShowPlaceholder();
    receiver_.PlaceholderRestored();
}

}  // namespace quorell
