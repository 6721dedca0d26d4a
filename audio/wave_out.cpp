#include "audio/wave_out.h"

#include <string_view>
#include <utility>

namespace quorell {

TACMWaveOut::TACMWaveOut(IWaveOutputDevice* device, MessageHandler show_message)
    : device_(device), show_message_(std::move(show_message)) {}

TACMWaveOut::~TACMWaveOut() {
    *alive_ = false;
    if (device_open_) device_->Close();
}

void TACMWaveOut::Report(const std::string& message) {
    // One message for a fault, however many blocks arrive until the device plays again.
    if (fault_told_) return;
    fault_told_ = true;
    if (show_message_) show_message_(message);
}

bool TACMWaveOut::OpenDevice() {
    last_try_ = clock_();
    const std::uint64_t session = session_ + 1;
    std::weak_ptr<bool> alive = alive_;
    const int r = device_->Open(rate_, codec_->Channels(), [this, alive, session](std::uint64_t) {
        const auto flag = alive.lock();
        if (flag && *flag) Played(session);
    });
    if (r != 0) {
        Report("Problem creating playing handle" + std::to_string(r));
        return false;
    }
    session_ = session;
    device_open_ = true;
    return true;
}

void TACMWaveOut::Open(const WaveFormat* format) {
    if (format == nullptr) return;
    if (open_) {
        // A later start keeps the first format, but tries a lost device again at once.
        if (!device_open_ && codec_ && device_ != nullptr) OpenDevice();
        return;
    }
    open_ = true;
    codec_ = MakeCodec(*format);
    if (!codec_ || codec_->Channels() == 0) {
        codec_.reset();
        Report("Problem creating playing handle" + std::to_string(kUnsupportedFormat));
        return;
    }
    rate_ = static_cast<int>(format->nSamplesPerSec);
    if (device_ == nullptr) {
        Report("Problem creating playing handle" + std::to_string(kNoDevice));
        return;
    }
    OpenDevice();
}

void TACMWaveOut::Play(const char* data, int size) {
    // Closed, or a format that cannot play: the block is dropped without a message.
    if (!codec_ || data == nullptr || size <= 0) return;
    if (!device_open_) {
        // Without a device the block is dropped; now and then the device is tried again.
        if (device_ == nullptr || clock_() - last_try_ < kRetryInterval) return;
        if (!OpenDevice()) return;
    }
    pcm_.clear();
    codec_->Decode(std::string_view(data, static_cast<std::size_t>(size)), pcm_);
    if (pcm_.empty()) return;
    const std::uint64_t frames = pcm_.size() / codec_->Channels();
    const std::uint64_t limit = kMaxQueuedSeconds * static_cast<std::uint64_t>(rate_);
    if (!queued_.empty() && queued_frames_ + frames > limit) {
        ++dropped_;
        return;
    }
    // Counted before the write: a device may report blocks played before Write returns.
    queued_.push_back(frames);
    queued_frames_ += frames;
    std::uint64_t id = 0;
    if (device_->Write(pcm_, &id) != 0) Lost("WaveOutWrite error");
}

void TACMWaveOut::Played(std::uint64_t session) {
    if (session != session_ || !device_open_ || queued_.empty()) return;
    queued_frames_ -= queued_.front();
    queued_.pop_front();
    fault_told_ = false;  // the device works: a later failure is a new one
}

void TACMWaveOut::Lost(const std::string& message) {
    // The device failed after it opened (it was unplugged, or the sound server went away).
    // What it holds is gone; it is closed, and opened again by a later block.
    device_open_ = false;
    queued_.clear();
    queued_frames_ = 0;
    device_->Close();
    last_try_ = clock_();
    Report(message);
}

}  // namespace quorell
