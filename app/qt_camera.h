#pragma once

#include <QByteArray>
#include <QCamera>
#include <QElapsedTimer>
#include <QMediaCaptureSession>
#include <QMediaDevices>
#include <QMetaObject>
#include <QVideoFrame>
#include <QVideoSink>
#include <functional>
#include <memory>

#include "video/capture_device.h"

namespace quorell {

// Carries the frames a video sink announces, on whatever thread, to the user-interface
// thread without queueing them: at most one frame waits there, and a newer one replaces it,
// so a user-interface thread that was busy finds only the latest frame, never a backlog.
class LatestFrameRelay {
public:
    using Deliver = std::function<void(const QVideoFrame& frame)>;

    // deliver runs on the thread of the application object. It may destroy the relay.
    LatestFrameRelay(QVideoSink& sink, Deliver deliver);
    LatestFrameRelay(const LatestFrameRelay&) = delete;
    LatestFrameRelay& operator=(const LatestFrameRelay&) = delete;
    // No frame is delivered after this, not even one already waiting.
    ~LatestFrameRelay();

private:
    struct Shared;
    std::shared_ptr<Shared> shared_;
    QMetaObject::Connection connection_;
};

// The machine's first camera through Qt Multimedia. The format nearest a small preview frame
// (176 by 144) is chosen; frames reach the handler on the user-interface thread as 24-bit
// pictures, at most one every interval. No frame reaches the handler after Disconnect.
// An error of the camera, or its device leaving the machine, is reported as a fault; while
// connected, the camera is started again when the machine's list of cameras changes after a
// fault (a camera plugged in again).
class QtCamera : public ICaptureDevice {
public:
    QtCamera();
    QtCamera(const QtCamera&) = delete;
    QtCamera& operator=(const QtCamera&) = delete;
    ~QtCamera() override;

    bool Connect(FrameHandler frames, FaultHandler faults,
                 std::chrono::milliseconds interval) override;
    void Disconnect() override;
    bool Connected() const override { return connected_; }

    // The camera format nearest to width by height among the device's formats; a null format
    // when the device lists none.
    static QCameraFormat NearestFormat(const QList<QCameraFormat>& formats, int width = 176,
                                       int height = 144);

private:
    void Start(const QCameraDevice& device);
    void Stop();
    void Deliver(const QVideoFrame& frame);
    void Fault(CaptureFault fault, const std::string& detail);
    void InputsChanged();

    bool connected_ = false;
    FrameHandler frames_;
    FaultHandler faults_;
    std::chrono::milliseconds interval_{0};
    QElapsedTimer since_last_;
    std::unique_ptr<QMediaDevices> inputs_;  // tells of cameras plugged in and pulled out
    QByteArray device_id_;                   // the device of the running camera
    bool faulted_ = false;                   // a fault was reported and no frame came since
    std::unique_ptr<QCamera> camera_;
    std::unique_ptr<QMediaCaptureSession> session_;
    std::unique_ptr<QVideoSink> sink_;
    std::unique_ptr<LatestFrameRelay> relay_;
};

}  // namespace quorell
