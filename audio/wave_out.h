#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "audio/codec.h"
#include "audio/wave_devices.h"
#include "audio/wave_format.h"

namespace quorell {

// Plays blocks of wave data in the format given to Open on the first output device, one after
// the other in the order given. Once opened it stays open until it is destroyed. Everything
// runs on the user-interface thread.
class TACMWaveOut {
public:
    using MessageHandler = std::function<void(const std::string& text)>;

    static constexpr int kUnsupportedFormat = 32;
    static constexpr int kNoDevice = 2;

    // device may be null (no sound device); show_message reports failures to the user.
    TACMWaveOut(IWaveOutputDevice* device, MessageHandler show_message);
    TACMWaveOut(const TACMWaveOut&) = delete;
    TACMWaveOut& operator=(const TACMWaveOut&) = delete;
    // Closes the device if this component opened it.
    ~TACMWaveOut();

    // Opens the device with format. Does nothing when format is null or when the component is
    // already open. A failed open is reported once; the component then counts as open and
    // drops every block silently.
    void Open(const WaveFormat* format);

    // Queues the whole blocks of data[0..size) behind those already playing; a trailing
    // partial block is dropped. The bytes are converted before returning, so the caller may
    // reuse its buffer at once. Dropped silently while not open.
    void Play(const char* data, int size);

    bool IsOpen() const { return open_; }
    bool Playing() const { return device_open_; }
    // Blocks handed to the device that it has not reported played yet.
    std::size_t QueuedBlocks() const { return queued_; }

private:
    void Fail(int error);

    IWaveOutputDevice* device_;
    MessageHandler show_message_;
    bool open_ = false;
    bool device_open_ = false;
    std::unique_ptr<AudioCodec> codec_;
    std::vector<std::int16_t> pcm_;
    std::size_t queued_ = 0;
    // Cleared on destruction, so a device report arriving later is ignored.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace quorell
