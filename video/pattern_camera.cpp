#include "video/pattern_camera.h"

#include <algorithm>
#include <cstdint>
#include <utility>

namespace quorell {

namespace {
// The camera whose frame handler runs on this thread right now.
thread_local const PatternCamera* delivering = nullptr;
}  // namespace

PatternCamera::~PatternCamera() {
    Disconnect();
}

bool PatternCamera::Connect(FrameHandler frames, FaultHandler faults,
                            std::chrono::milliseconds interval) {
    Disconnect();
    handler_ = std::move(frames);
    faults_ = std::move(faults);
    interval_ = interval;
    timer_ = std::make_unique<QTimer>();
    timer_->setTimerType(Qt::PreciseTimer);
    QObject::connect(timer_.get(), &QTimer::timeout, [this] {
        const QImage frame = Pattern(width_, height_, frames_);
        ++frames_;
        // The handler may disconnect (or reconnect) this camera; it runs on a copy.
        const FrameHandler handler = handler_;
        const PatternCamera* outer = std::exchange(delivering, this);
        try {
            if (handler) handler(frame);
        } catch (...) {
            // A failing handler must not unwind through the timer's signal.
        }
        delivering = outer;
    });
    timer_->start(interval);
    return true;
}

void PatternCamera::Fail(CaptureFault fault, const std::string& detail) {
    if (!timer_) return;
    timer_->stop();
    // The handler may disconnect this camera; it runs on a copy.
    const FaultHandler faults = faults_;
    if (faults) faults(fault, detail);
}

void PatternCamera::Replug() {
    if (timer_ && !timer_->isActive()) timer_->start(interval_);
}

void PatternCamera::Disconnect() {
    handler_ = nullptr;
    faults_ = nullptr;
    if (!timer_) return;
    timer_->stop();
    // From a frame handler, inside the timer's own signal, the timer must outlive the signal.
    if (delivering == this)
        timer_.release()->deleteLater();
    else
        timer_.reset();
}

QImage PatternCamera::Pattern(int width, int height, int n) {
    QImage image(width, height, QImage::Format_RGB888);
    if (image.isNull()) return image;
    // Soft gradients that drift with n, and a bright disc that moves across them.
    const int cx = width > 0 ? (n * 3) % width : 0;
    const int cy = height / 2 + ((n / 2) % (height / 4 + 1)) - height / 8;
    const int r = std::max(4, std::min(width, height) / 6);
    for (int y = 0; y < height; ++y) {
        uchar* line = image.scanLine(y);
        for (int x = 0; x < width; ++x) {
            const int dx = x - cx;
            const int dy = y - cy;
            std::uint8_t* px = line + 3 * x;
            if (dx * dx + dy * dy <= r * r) {
                px[0] = 250;
                px[1] = 230;
                px[2] = static_cast<std::uint8_t>(40 + (n * 5) % 160);
                continue;
            }
            px[0] = static_cast<std::uint8_t>(x * 255 / std::max(1, width - 1));
            px[1] = static_cast<std::uint8_t>((y * 200 / std::max(1, height - 1) + n * 2) % 256);
            px[2] = static_cast<std::uint8_t>(96 + ((x + y + n * 4) / 4) % 96);
        }
    }
    return image;
}

}  // namespace quorell
