#include "app/qt_camera.h"

#include <QCameraDevice>
#include <QCoreApplication>
#include <cstdlib>
#include <limits>
#include <mutex>
#include <optional>
#include <tuple>
#include <utility>

namespace quorell {

struct LatestFrameRelay::Shared {
    std::mutex mutex;
    std::optional<QVideoFrame> waiting;  // guarded by mutex
    Deliver deliver;                     // user-interface thread only; empty once the relay goes
};

LatestFrameRelay::LatestFrameRelay(QVideoSink& sink, Deliver deliver)
    : shared_(std::make_shared<Shared>()) {
    shared_->deliver = std::move(deliver);
    // Runs on the thread that announces the frame, often a media thread: it only parks the
    // frame, and asks for a delivery when none is on its way already.
    connection_ = QObject::connect(
        &sink, &QVideoSink::videoFrameChanged, &sink,
        [shared = shared_](const QVideoFrame& frame) {
            std::optional<QVideoFrame> older;  // released outside the lock
            {
                const std::lock_guard lock(shared->mutex);
                older = std::exchange(shared->waiting, frame);
            }
            if (older) return;  // the delivery on its way takes the newer frame
            QMetaObject::invokeMethod(
                QCoreApplication::instance(),
                [shared] {
                    std::optional<QVideoFrame> latest;
                    {
                        const std::lock_guard lock(shared->mutex);
                        latest = std::exchange(shared->waiting, std::nullopt);
                    }
                    if (!latest || !shared->deliver) return;
                    const Deliver deliver = shared->deliver;  // it may destroy the relay
                    deliver(*latest);
                },
                Qt::QueuedConnection);
        },
        Qt::DirectConnection);
}

LatestFrameRelay::~LatestFrameRelay() {
    QObject::disconnect(connection_);
    shared_->deliver = nullptr;
    const std::lock_guard lock(shared_->mutex);
    shared_->waiting.reset();
}

namespace {

// The camera whose fault or device-list handler runs on this thread right now.
thread_local const QtCamera* signalling = nullptr;

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

bool QtCamera::Connect(FrameHandler frames, FaultHandler faults,
                       std::chrono::milliseconds interval) {
    Disconnect();
    const QList<QCameraDevice> inputs = QMediaDevices::videoInputs();
    if (inputs.isEmpty()) return false;
    connected_ = true;
    frames_ = std::move(frames);
    faults_ = std::move(faults);
    interval_ = interval;
    since_last_.invalidate();
    inputs_ = std::make_unique<QMediaDevices>();
    QObject::connect(inputs_.get(), &QMediaDevices::videoInputsChanged, inputs_.get(),
                     [this] { InputsChanged(); });
    Start(inputs.front());
    return true;
}

void QtCamera::Start(const QCameraDevice& device) {
    device_id_ = device.id();
    faulted_ = false;
    camera_ = std::make_unique<QCamera>(device);
    const QCameraFormat format = NearestFormat(device.videoFormats());
    if (!format.isNull()) camera_->setCameraFormat(format);
    sink_ = std::make_unique<QVideoSink>();
    session_ = std::make_unique<QMediaCaptureSession>();
    session_->setCamera(camera_.get());
    session_->setVideoSink(sink_.get());
    QObject::connect(camera_.get(), &QCamera::errorOccurred, camera_.get(),
                     [this](QCamera::Error error, const QString& text) {
                         if (error != QCamera::NoError)
                             Fault(CaptureFault::Failed, text.toStdString());
                     });
    relay_ = std::make_unique<LatestFrameRelay>(
        *sink_, [this](const QVideoFrame& frame) { Deliver(frame); });
    camera_->start();
}

void QtCamera::Stop() {
    relay_.reset();
    if (camera_) camera_->stop();
    // From inside the camera's own signal its objects go once the signal is done.
    const bool later = signalling == this;
    Dispose(session_, later);
    Dispose(sink_, later);
    Dispose(camera_, later);
    device_id_.clear();
}

void QtCamera::Disconnect() {
    connected_ = false;
    frames_ = nullptr;
    faults_ = nullptr;
    Stop();
    Dispose(inputs_, signalling == this);
    faulted_ = false;
}

void QtCamera::Deliver(const QVideoFrame& frame) {
    if (!connected_ || !frame.isValid()) return;
    if (since_last_.isValid() && since_last_.elapsed() < interval_.count()) return;
    const QImage image = frame.toImage().convertToFormat(QImage::Format_RGB888);
    if (image.isNull()) return;
    since_last_.start();
    faulted_ = false;
    // The handler may disconnect this camera, or connect it again; it runs on a copy.
    const FrameHandler frames = frames_;
    try {
        if (frames) frames(image);
    } catch (...) {
        // A failing handler must not unwind into the multimedia framework.
    }
}

void QtCamera::Fault(CaptureFault fault, const std::string& detail) {
    faulted_ = true;
    const FaultHandler faults = faults_;
    const QtCamera* outer = std::exchange(signalling, this);
    try {
        if (faults) faults(fault, detail);
    } catch (...) {
    }
    signalling = outer;
}

void QtCamera::InputsChanged() {
    if (!connected_) return;
    const QList<QCameraDevice> inputs = QMediaDevices::videoInputs();
    const QtCamera* outer = std::exchange(signalling, this);
    bool present = false;
    for (const QCameraDevice& input : inputs) present = present || input.id() == device_id_;
    if (camera_ && !present) {
        // Pulled out: the camera object goes with its device; a device that comes back is
        // started afresh below on the next change of the list.
        Stop();
        signalling = outer;
        Fault(CaptureFault::Unplugged, {});
        return;
    }
    if ((!camera_ || faulted_) && !inputs.isEmpty()) {
        Stop();
        Start(inputs.front());
    }
    signalling = outer;
}

}  // namespace quorell
