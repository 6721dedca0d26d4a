#pragma once

#include <QImage>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "links/control_link.h"
#include "links/video_link.h"
#include "video/capture_device.h"
#include "video/frame_receiver.h"
#include "video/frame_sender.h"

namespace quorell {

// What the capture surface says in words instead of a picture.
enum class CaptureNote {
    NoCamera,   // there was no camera to connect
    Unplugged,  // the camera is gone; it sends again once it is back
    Failed,     // the camera reports an error (busy, broken)
};

// What video shows in the window, on top of what sending and showing frames read and change.
// Called on the user-interface thread.
class IVideoWindow : public IVideoSenderWindow, public IVideoReceiverWindow {
public:
    virtual void SetStartEnabled(bool enabled) = 0;
    virtual void SetStopEnabled(bool enabled) = 0;
    // A new capture surface fills the local-video panel, over those of earlier starts; the
    // preview and its notes go to the newest.
    virtual void NewCaptureSurface() = 0;
    virtual void ShowPreview(const QImage& frame) = 0;
    // detail: the device's own words, for a tooltip (often empty).
    virtual void ShowCaptureNote(CaptureNote note, const std::string& detail) = 0;
    // The note's detail goes; the next preview frame takes the words' place.
    virtual void ClearCaptureNote() = 0;
    // The receive button's caption: whether the peer's frames are being received.
    virtual void ShowReceiving(bool receiving) = 0;
    // The peer's video port box (empty for none); receiving is offered while there is one.
    virtual void ShowPeerVideoPort(std::optional<long> port) = 0;
    // The peer's picture is the placeholder again, and any bigger view of it is closed.
    virtual void ShowPlaceholder() = 0;
};

// Video in both directions: our camera's frames to the peer, the peer's frames to the picture.
// It keeps the state as values (whether we send, whether the camera is faulty, whether we
// receive, the peer's port) and tells the window what to show; the two directions are started
// and stopped independently.
class VideoController {
public:
    // How far the last start of sending got.
    enum class SendState {
        Stopped,   // never started, or stopped
        Sending,   // started, and the peer was told
        Stranded,  // started, but a control line did not reach the peer: frames still go
    };

    // camera: the slot of the machine's camera, read at every start and stop (empty: none).
    VideoController(IVideoWindow& window, IVideoLink& link, IControlLink& control,
                    std::unique_ptr<ICaptureDevice>& camera)
        : window_(window),
          link_(link),
          control_(control),
          camera_(camera),
          sender_(window, link),
          receiver_(window) {}

    // Starts capture and tells the peer our video port. Each camera frame goes to frames (the
    // window's frame handler), which hands it on to Frame.
    void Start(const ICaptureDevice::FrameHandler& frames);
    // One captured frame: shown as the preview and sent to the peer.
    void Frame(const QImage& frame);
    // The camera part of Start alone, for video that travels another way (a call): the capture
    // surface and the camera, nothing said to the peer and nothing sent. EndCapture ends it.
    void StartCapture(const ICaptureDevice::FrameHandler& frames);
    // One captured frame shown as the preview only.
    void Preview(const QImage& frame);
    // Ends capture and tells the peer.
    void Stop();
    // Ends capture without a word to the peer (the window closes).
    void EndCapture();

    // The receive button: starts receiving on the peer's port, or stops. A port that cannot be
    // had throws, and nothing changes.
    void ToggleReceiving();
    // One datagram of the peer's video.
    void FrameArrived(std::string_view datagram) { receiver_.OnDatagram(datagram); }
    // The peer announced its video port. Receiving already under way keeps its port.
    void PeerVideoPort(long port);
    // The peer stopped sending: receiving ends, and the peer's port is forgotten.
    void PeerClosedVideo();

    SendState Sending() const { return sending_; }
    bool CameraRunning() const { return camera_running_; }
    std::optional<CaptureFault> CameraFault() const { return camera_fault_; }
    bool Receiving() const { return receiving_; }
    std::optional<long> PeerPort() const { return peer_port_; }
    const FrameSender& Sender() const { return sender_; }
    const FrameReceiver& Receiver() const { return receiver_; }

private:
    void CameraFaulted(CaptureFault fault, const std::string& detail);
    void BackToPlaceholder();

    IVideoWindow& window_;
    IVideoLink& link_;
    IControlLink& control_;
    std::unique_ptr<ICaptureDevice>& camera_;
    FrameSender sender_;
    FrameReceiver receiver_;
    SendState sending_ = SendState::Stopped;
    bool camera_running_ = false;
    std::optional<CaptureFault> camera_fault_;  // shown until the next frame
    bool receiving_ = false;
    std::optional<long> peer_port_;
};

}  // namespace quorell
