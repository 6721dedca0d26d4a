#pragma once

#include <QImage>
#include <QTimer>
#include <memory>

#include "video/capture_device.h"

namespace quorell {

// A camera for tests and benchmarks: a moving colour pattern of the given size, one frame every
// interval on the user-interface thread, so consecutive frames differ.
class PatternCamera : public ICaptureDevice {
public:
    explicit PatternCamera(int width = 176, int height = 144) : width_(width), height_(height) {}
    ~PatternCamera() override;

    bool Connect(FrameHandler handler, std::chrono::milliseconds interval) override;
    void Disconnect() override;
    bool Connected() const override { return timer_ != nullptr; }

    int FramesDelivered() const { return frames_; }
    // The picture of frame number n.
    static QImage Pattern(int width, int height, int n);

private:
    int width_;
    int height_;
    int frames_ = 0;
    FrameHandler handler_;
    std::unique_ptr<QTimer> timer_;
};

}  // namespace quorell
