#include "audio/acm_out.h"

#include <cstdio>
#include <string_view>
#include <vector>

namespace quorell {

namespace {

const char* WaveOutErrorText(int code) {
    switch (code) {
        case 2:
            return " The specified resource does not exist.";
        case 4:
            return " The specified resource is already in use.";
        case 5:
            return " The specified handle is invalid.";
        case 6:
            return " A suitable driver is not available to provide valid format selections.";
        case 7:
            return " The system is unable to allocate resources.";
        case 10:
            return " At least one flag is invalid.";
        case 11:
            return " At least one parameter is invalid.";
        case 32:
            return " Unsupported audio format.";
        case 35:
            return " The specified device does not support asynchronous operation.";
        case 512:
            return " The requested operation cannot be performed.";
        case 513:
            return " The conversion stream is already in use.";
        case 514:
            return " Cannot perform this action on a header that has not been prepared.";
        default:
            return nullptr;
    }
}

constexpr int kNoDevice = 2;
constexpr int kBadFormat = 32;

void Check(const char* operation, int code) {
    if (code != 0) throw EACMOut(WaveOutErrorMessage(operation, code));
}

}  // namespace

std::string WaveOutErrorMessage(const std::string& operation, int code) {
    if (const char* text = WaveOutErrorText(code)) return operation + text;
    char message[256];
    std::snprintf(message, sizeof message, "%s raised an unknown error (code #%d)",
                  operation.c_str(), code);
    return message;
}

TACMOut::~TACMOut() {
    Close();
}

void TACMOut::Open(const WaveFormat& format) {
    if (open_) return;
    format_ = format;
    auto codec = MakeCodec(format_);
    if (!codec) Check("WaveOutOpen", kBadFormat);
    if (device_ == nullptr) Check("WaveOutOpen", kNoDevice);
    Check("WaveOutOpen", device_->Open(static_cast<int>(format_.nSamplesPerSec), format_.nChannels,
                                       [this](std::uint64_t id) { Played(id); }));
    codec_ = std::move(codec);
    pending_.clear();
    queued_frames_ = 0;
    open_ = true;
}

void TACMOut::Play(const char* data, int size) {
    if (size <= 0 || !open_) return;
    std::vector<std::int16_t> samples;
    codec_->Decode(std::string_view(data, static_cast<std::size_t>(size)), samples);
    if (samples.empty()) return;
    const std::uint64_t frames = samples.size() / codec_->Channels();
    // A device may report the block played before Write returns.
    std::uint64_t id = 0;
    writing_id_ = &id;
    written_played_ = false;
    const int result = device_->Write(samples, &id);
    writing_id_ = nullptr;
    Check("WaveOut-Write", result);
    if (written_played_) return;
    pending_.emplace(id, frames);
    queued_frames_ += frames;
}

void TACMOut::Played(std::uint64_t id) {
    if (!open_) return;
    if (auto it = pending_.find(id); it != pending_.end()) {
        queued_frames_ -= it->second;
        pending_.erase(it);
    } else if (writing_id_ != nullptr && *writing_id_ == id) {
        written_played_ = true;
    } else {
        return;  // not a block of ours
    }
    if (OnBufferPlayed) OnBufferPlayed(*this, id);
    if (OnQueueShrunk) OnQueueShrunk();
}

void TACMOut::Close() {
    if (!open_) return;
    open_ = false;
    pending_.clear();
    queued_frames_ = 0;
    device_->Close();
}

TACMConvertor::TACMConvertor() : InputFormat(PcmFormat(8000, 8, 1)), OutputFormat(InputFormat) {}

void TACMConvertor::SetInputBufferSize(std::uint32_t size) {
    if (active_) throw EACMConvertor("You cannot change the buffer size while active.");
    input_buffer_size_ = size;
}

}  // namespace quorell
