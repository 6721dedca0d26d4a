#pragma once

#include <QImage>
#include <chrono>
#include <functional>
#include <string>

namespace quorell {

// Why a connected camera stopped delivering frames.
enum class CaptureFault {
    Failed,     // the device reports an error: taken by another program, or broken
    Unplugged,  // the device is gone from the machine
};

// A source of preview frames: the machine's first camera in the program, a moving pattern in
// tests. Frames arrive on the user-interface thread as 24-bit pictures (QImage::Format_RGB888).
class ICaptureDevice {
public:
    using FrameHandler = std::function<void(const QImage& frame)>;
    // A fault of the connected device, on the user-interface thread; detail is the device's own
    // description (often empty, not meant for the user). A device may report the same fault
    // more than once; the next frame after a fault shows that it is over.
    using FaultHandler = std::function<void(CaptureFault fault, const std::string& detail)>;

    virtual ~ICaptureDevice() = default;
    // Connects the first device and starts delivering its frames to frames, at most one every
    // interval. False when there is no device (nothing will be delivered). While connected, a
    // device that comes back after a fault (plugged in again) delivers again by itself.
    virtual bool Connect(FrameHandler frames, FaultHandler faults,
                         std::chrono::milliseconds interval) = 0;
    // Ends capture and releases the device: no more frames and no more faults. Harmless when
    // not connected.
    virtual void Disconnect() = 0;
    virtual bool Connected() const = 0;
};

}  // namespace quorell
