#pragma once

#include <QCamera>
#include <QMediaCaptureSession>
#include <QVideoSink>
#include <memory>

#include "video/capture_device.h"

namespace quorell {

// The machine's first camera through Qt Multimedia. The format nearest a small preview frame
// (176 by 144) is chosen; frames reach the handler on the user-interface thread as 24-bit
// pictures, at most one every interval. No frame reaches the handler after Disconnect.
class QtCamera : public ICaptureDevice {
public:
    QtCamera();
    QtCamera(const QtCamera&) = delete;
    QtCamera& operator=(const QtCamera&) = delete;
    ~QtCamera() override;

    bool Connect(FrameHandler handler, std::chrono::milliseconds interval) override;
    void Disconnect() override;
    bool Connected() const override { return camera_ != nullptr; }

    // The camera format nearest to width by height among the device's formats; a null format
    // when the device lists none.
    static QCameraFormat NearestFormat(const QList<QCameraFormat>& formats, int width = 176,
                                       int height = 144);

private:
    struct Live;  // what frame delivery shares with queued deliveries still under way

    std::shared_ptr<Live> live_;
    std::unique_ptr<QCamera> camera_;
    std::unique_ptr<QMediaCaptureSession> session_;
    std::unique_ptr<QVideoSink> sink_;
};

}  // namespace quorell
