#include "audio/wave_in.h"

#include <algorithm>
#include <utility>

namespace quorell {

TACMWaveIn::TACMWaveIn(IWaveInputDevice* device, MessageHandler show_message)
    : device_(device), show_message_(std::move(show_message)) {}

TACMWaveIn::~TACMWaveIn() {
    *alive_ = false;
}

void TACMWaveIn::Fail(int error) {
    codec_.reset();
    buffer_length_ = 0;
    if (show_message_) show_message_("Problem creating record handle" + std::to_string(error));
}

void TACMWaveIn::Open(const WaveFormat* format) {
    if (format == nullptr || open_) return;
    // From here on the component counts as open, whether or not the device opens.
    open_ = true;
    codec_ = MakeCodec(*format);
    if (!codec_ || codec_->Channels() == 0 || codec_->SamplesPerBlock() == 0 ||
        codec_->BlockBytes() == 0) {
        Fail(kUnsupportedFormat);
        return;
    }
    // One second of audio, cut down to whole blocks: a buffer ending in part of a block would
    // lose that part at the decoder.
    const std::size_t block = codec_->BlockBytes();
    buffer_length_ = std::max<std::size_t>(1, format->nAvgBytesPerSec / block) * block;
    block_values_ = codec_->SamplesPerBlock() * codec_->Channels();
    if (device_ == nullptr) {
        Fail(kNoDevice);
        return;
    }
    std::weak_ptr<bool> alive = alive_;
    const int r = device_->Open(static_cast<int>(format->nSamplesPerSec), codec_->Channels(),
                                [this, alive](std::span<const std::int16_t> samples) {
                                    const auto flag = alive.lock();
                                    if (flag && *flag) Recorded(samples);
                                });
    if (r != 0) Fail(r);
}

void TACMWaveIn::Recorded(std::span<const std::int16_t> samples) {
    if (!codec_) return;
    pcm_.insert(pcm_.end(), samples.begin(), samples.end());
    const std::size_t whole = pcm_.size() / block_values_ * block_values_;
    if (whole > 0) {
        codec_->Encode(std::span<const std::int16_t>(pcm_.data(), whole), encoded_);
        pcm_.erase(pcm_.begin(), pcm_.begin() + static_cast<std::ptrdiff_t>(whole));
    }
    // Buffers are whole blocks and the encoder appends whole blocks, so every cut falls on a
    // block boundary.
    std::size_t taken = 0;
    while (encoded_.size() - taken >= buffer_length_) {
        ready_.push_back(encoded_.substr(taken, buffer_length_));
        taken += buffer_length_;
    }
    encoded_.erase(0, taken);
    while (ready_.size() > kMaxPendingBuffers) ready_.pop_front();

    // OnData may run a nested event loop (a modal box) that records more; the outer call
    // hands those buffers over once it returns.
    if (delivering_) return;
    delivering_ = true;
    const std::shared_ptr<bool> alive = alive_;
    struct Reset {
        const std::shared_ptr<bool>& alive;
        bool& flag;
        ~Reset() {
            if (*alive) flag = false;
        }
    } reset{alive, delivering_};
    while (*alive && !ready_.empty()) {
        const std::string buffer = std::move(ready_.front());
        ready_.pop_front();
        if (OnData) {
            // A copy, so the handler may replace OnData while it runs.
            const TOnData handler = OnData;
            handler(buffer.data(), static_cast<int>(buffer.size()));
        }
    }
}

}  // namespace quorell
