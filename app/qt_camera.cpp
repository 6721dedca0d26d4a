#include "app/qt_camera.h"

#include <QCameraDevice>
#include <QElapsedTimer>
#include <QMediaDevices>
#include <QVideoFrame>
#include <cstdlib>
#include <limits>
#include <tuple>
#include <utility>

namespace quorell {

struct QtCamera::Live {
    ICaptureDevice::FrameHandler handler;  // empty once disconnected
    std::chrono::milliseconds interval{0};
    QElapsedTimer since_last;
};

namespace {

// The camera whose frame handler runs on this thread right now.
thread_local const QtCamera* delivering = nullptr;

// Formats whose frames QVideoFrame::toImage() turns into a picture without trouble.
bool Convertible(QVideoFrameFormat::PixelFormat format) {
    return format != QVideoFrameFormat::Format_Invalid;
}

template <typename T>
void Dispose(std::unique_ptr<T>& object, bool later) {
    if (!object) return;
    if (later)
        object.release()->deleteLater();
    else
        object.reset();
}

}  // namespace

QtCamera::QtCamera() = default;

QtCamera::~QtCamera() {
    Disconnect();
}

QCameraFormat QtCamera::NearestFormat(const QList<QCameraFormat>& formats, int width, int height) {
    const long long wanted = static_cast<long long>(width) * height;
    QCameraFormat best;
    auto best_key = std::make_tuple(true, std::numeric_limits<long long>::max(), true);
    for (const QCameraFormat& format : formats) {
        const QSize size = format.resolution();
        const long long area = static_cast<long long>(size.width()) * size.height();
        // Convertible first, then nearest in area, then anything but JPEG (which costs a decode).
        const auto key =
            std::make_tuple(!Convertible(format.pixelFormat()), std::llabs(area - wanted),
                            format.pixelFormat() == QVideoFrameFormat::Format_Jpeg);
        if (best.isNull() || key < best_key) {
            best = format;
            best_key = key;
        }
    }
    return best;
}

bool QtCamera::Connect(FrameHandler handler, std::chrono::milliseconds interval) {
    Disconnect();
    const QList<QCameraDevice> inputs = QMediaDevices::videoInputs();
    if (inputs.isEmpty()) return false;
    const QCameraDevice& device = inputs.front();

    live_ = std::make_shared<Live>();
    live_->handler = std::move(handler);
    live_->interval = interval;

    camera_ = std::make_unique<QCamera>(device);
    const QCameraFormat format = NearestFormat(device.videoFormats());
    if (!format.isNull()) camera_->setCameraFormat(format);
    sink_ = std::make_unique<QVideoSink>();
    session_ = std::make_unique<QMediaCaptureSession>();
    session_->setCamera(camera_.get());
    session_->setVideoSink(sink_.get());

    // Frames may be announced on a media thread; each one is handed to the user-interface
    // thread, where the sink lives. Deliveries still queued when the camera is disconnected
    // find the handler gone.
    QObject::connect(
        sink_.get(), &QVideoSink::videoFrameChanged, sink_.get(),
        [live = live_, self = this](const QVideoFrame& frame) {
            if (!live->handler || !frame.isValid()) return;
            if (live->since_last.isValid() && live->since_last.elapsed() < live->interval.count())
                return;
            const QImage image = frame.toImage().convertToFormat(QImage::Format_RGB888);
            if (image.isNull()) return;
            live->since_last.start();
            // The handler may disconnect this camera, or connect it again; it runs on a copy.
            const FrameHandler handler = live->handler;
            const QtCamera* outer = std::exchange(delivering, self);
            try {
                handler(image);
            } catch (...) {
                // A failing handler must not unwind into the multimedia framework.
            }
            delivering = outer;
        },
        Qt::QueuedConnection);
    camera_->start();
    return true;
}

void QtCamera::Disconnect() {
    if (live_) live_->handler = nullptr;
    live_.reset();
    if (camera_) camera_->stop();
    // From inside a frame handler the sink is still delivering: its objects go once it is done.
    const bool later = delivering == this;
    Dispose(session_, later);
    Dispose(sink_, later);
    Dispose(camera_, later);
}

}  // namespace quorell
