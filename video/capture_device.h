#pragma once

#include <QImage>
#include <chrono>
#include <functional>

namespace quorell {

// A source of preview frames: the machine's first camera in the program, a moving pattern in
// tests. Frames arrive on the user-interface thread as 24-bit pictures (QImage::Format_RGB888).
class ICaptureDevice {
public:
    using FrameHandler = std::function<void(const QImage& frame)>;

    virtual ~ICaptureDevice() = default;
    // Connects the first device and starts delivering its frames to handler, at most one every
    // interval. False when there is no device (nothing will be delivered).
    virtual bool Connect(FrameHandler handler, std::chrono::milliseconds interval) = 0;
    // Ends capture and releases the device: no more frames. Harmless when not connected.
    virtual void Disconnect() = 0;
    virtual bool Connected() const = 0;
};

}  // namespace quorell
