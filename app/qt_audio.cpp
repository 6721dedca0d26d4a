#include "app/qt_audio.h"

#include <QAudioDevice>
#include <QAudioFormat>
#include <cstring>
#include <vector>

namespace quorell {
namespace {

constexpr int kNoDevice = 2;
constexpr int kAlreadyOpen = 4;
constexpr int kIOError = 5;

QAudioFormat Int16Format(int rate, int channels) {
    QAudioFormat format;
    format.setSampleRate(rate);
    format.setChannelCount(channels);
    format.setSampleFormat(QAudioFormat::Int16);
    return format;
}

}  // namespace

int WaveErrorNumber(QAudio::Error error) {
    switch (error) {
        case QAudio::NoError:
            return 0;
        case QAudio::OpenError:
            return 2;
        case QAudio::IOError:
            return 5;
        case QAudio::UnderrunError:
            return 6;
        case QAudio::FatalError:
            return 7;
    }
    return 7;
}

QtWaveInput::~QtWaveInput() {
    if (source_) source_->stop();
}

int QtWaveInput::Open(int rate, int channels, DataHandler handler) {
    if (source_) return kAlreadyOpen;
    if (rate <= 0 || channels <= 0) return kNoDevice;
    const QAudioDevice device = AudioInputFor(choice_.get());
    if (device.isNull()) return kNoDevice;
    auto source = std::make_unique<QAudioSource>(device, Int16Format(rate, channels));
    QIODevice* io = source->start();
    if (io == nullptr || source->error() != QAudio::NoError) {
        const int r = WaveErrorNumber(source->error());
        source->stop();
        return r != 0 ? r : kNoDevice;
    }
    source_ = std::move(source);
    io_ = io;
    handler_ = std::move(handler);
    // The source is the context: the connection ends with it.
    QObject::connect(io_, &QIODevice::readyRead, source_.get(), [this] { ReadAvailable(); });
    return 0;
}

void QtWaveInput::ReadAvailable() {
    if (io_ == nullptr) return;
    pending_.append(io_->readAll());
    const qsizetype whole = pending_.size() / 2 * 2;
    if (whole == 0) return;
    std::vector<std::int16_t> samples(static_cast<std::size_t>(whole / 2));
    std::memcpy(samples.data(), pending_.constData(), static_cast<std::size_t>(whole));
    pending_.remove(0, whole);
    if (handler_) handler_(samples);
}

QtWaveOutput::~QtWaveOutput() {
    Close();
}

int QtWaveOutput::Open(int rate, int channels, PlayedHandler played) {
    if (sink_) return kAlreadyOpen;
    if (rate <= 0 || channels <= 0) return kNoDevice;
    const QAudioDevice device = AudioOutputFor(choice_.get());
    if (device.isNull()) return kNoDevice;
    auto sink = std::make_unique<QAudioSink>(device, Int16Format(rate, channels));
    QIODevice* io = sink->start();
    if (io == nullptr || sink->error() != QAudio::NoError) {
        const int r = WaveErrorNumber(sink->error());
        sink->stop();
        return r != 0 ? r : kNoDevice;
    }
    sink_ = std::move(sink);
    io_ = io;
    played_ = std::move(played);
    bytes_per_second_ = std::int64_t{rate} * channels * 2;
    timer_ = std::make_unique<QTimer>();
    QObject::connect(timer_.get(), &QTimer::timeout, timer_.get(), [this] { Pump(); });
    timer_->start(10);
    return 0;
}

int QtWaveOutput::Write(std::span<const std::int16_t> samples, std::uint64_t* id) {
    if (!sink_) return kNoDevice;
    if (lost_ != 0) return lost_;
    const auto bytes = static_cast<qsizetype>(samples.size_bytes());
    queued_.append(reinterpret_cast<const char*>(samples.data()), bytes);
    total_ += bytes;
    *id = next_id_++;
    blocks_.push_back({*id, total_});
    Pump();
    return 0;
}

void QtWaveOutput::Close() {
    if (timer_) timer_->stop();
    timer_.reset();
    if (sink_) sink_->stop();
    sink_.reset();
    io_ = nullptr;
    played_ = nullptr;
    queued_.clear();
    blocks_.clear();
    written_ = total_ = 0;
    lost_ = 0;
    last_processed_ = 0;
}

void QtWaveOutput::Pump() {
    if (!sink_ || io_ == nullptr) return;
    bool wrote = false;
    while (!queued_.isEmpty()) {
        const qsizetype room = std::min<qsizetype>(sink_->bytesFree(), queued_.size());
        if (room <= 0) break;
        const qint64 n = io_->write(queued_.constData(), room);
        if (n <= 0) break;
        queued_.remove(0, static_cast<qsizetype>(n));
        written_ += n;
        wrote = true;
    }
    // A sink that went idle or stopped without new bytes has played everything it was given.
    const QAudio::State state = sink_->state();
    const bool drained = !wrote && (state == QAudio::IdleState || state == QAudio::StoppedState);
    const std::int64_t processed = sink_->processedUSecs() * bytes_per_second_ / 1000000;
    if (const int fault = Fault(wrote, processed); fault != 0) {
        // Nothing more will play or be reported played; the owner hears of it at its next
        // Write and closes the device.
        lost_ = fault;
        timer_->stop();
        queued_.clear();
        blocks_.clear();
        return;
    }
    while (!blocks_.empty() && blocks_.front().end <= written_ &&
           (drained || blocks_.front().end <= processed)) {
        const std::uint64_t id = blocks_.front().id;
        blocks_.pop_front();
        // The handler may close this device; stop looking at it then.
        if (played_) played_(id);
        if (!sink_) return;
    }
}

int QtWaveOutput::Fault(bool wrote, std::int64_t processed) {
    const QAudio::Error error = sink_->error();
    if (error == QAudio::OpenError || error == QAudio::IOError || error == QAudio::FatalError)
        return WaveErrorNumber(error);
    // A sink whose stream has failed has less than no room (PulseAudio's says -1).
    if (sink_->bytesFree() < 0) return kIOError;
    // Or it just stops taking audio: nothing processed for a while though blocks are waiting.
    if (wrote || processed != last_processed_ || blocks_.empty() || !progress_clock_.isValid() ||
        sink_->state() == QAudio::SuspendedState) {
        last_processed_ = processed;
        progress_clock_.start();
        return 0;
    }
    return progress_clock_.elapsed() >= kStallMs ? kIOError : 0;
}

}  // namespace quorell
