#pragma once

#include <QImage>
#include <QTimer>
#include <memory>

#include "video/capture_device.h"

namespace quorell {

// A camera for tests and benchmarks: a moving colour pattern of the given size, one frame every
// interval on the user-interface thread, so consecutive frames differ. It can be made to fail
// and to come back, as a real camera does when it is taken or pulled out and plugged in again.
class PatternCamera : public ICaptureDevice {
public:
    explicit PatternCamera(int width = 176, int height = 144) : width_(width), height_(height) {}
    ~PatternCamera() override;

    bool Connect(FrameHandler frames, FaultHandler faults,
                 std::chrono::milliseconds interval) override;
    void Disconnect() override;
    bool Connected() const override { return timer_ != nullptr; }

    // Stops the frames of a connected camera and reports fault; it stays connected.
    void Fail(CaptureFault fault, const std::string& detail = {});
    // Frames flow again after a fault, as from a camera plugged in again.
    void Replug();

    int FramesDelivered() const { return frames_; }
    // The picture of frame number n.
    static QImage Pattern(int width, int height, int n);

private:
    int width_;
    int height_;
    int frames_ = 0;
    std::chrono::milliseconds interval_{0};
    FrameHandler handler_;
    FaultHandler faults_;
    std::unique_ptr<QTimer> timer_;
};

}  // namespace quorell
