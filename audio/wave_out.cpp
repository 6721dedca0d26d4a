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

void TACMWaveOut::Fail(int error) {
    codec_.reset();
    if (show_message_) show_message_("Problem creating playing handle" + std::to_string(error));
}

void TACMWaveOut::Open(const WaveFormat* format) {
    if (format == nullptr || open_) return;
    open_ = true;
    codec_ = MakeCodec(*format);
    if (!codec_ || codec_->Channels() == 0) {
        Fail(kUnsupportedFormat);
        return;
    }
    if (device_ == nullptr) {
        Fail(kNoDevice);
        return;
    }
    std::weak_ptr<bool> alive = alive_;
    const int r = device_->Open(static_cast<int>(format->nSamplesPerSec), codec_->Channels(),
                                [this, alive](std::uint64_t) {
                                    const auto flag = alive.lock();
                                    if (flag && *flag && queued_ > 0) --queued_;
                                });
    if (r != 0) {
        Fail(r);
        return;
    }
    device_open_ = true;
}

void TACMWaveOut::Play(const char* data, int size) {
    // Closed, or open without a device: the block is dropped without a message, rather than a
    // box for every block that arrives.
    if (!device_open_ || data == nullptr || size <= 0) return;
    pcm_.clear();
    codec_->Decode(std::string_view(data, static_cast<std::size_t>(size)), pcm_);
    if (pcm_.empty()) return;
    // Counted before the write: a device may report the block played before Write returns.
    ++queued_;
    std::uint64_t id = 0;
    if (device_->Write(pcm_, &id) != 0) {
        --queued_;
        if (show_message_) show_message_("WaveOutWrite error");
    }
}

}  // namespace quorell
