#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "audio/codec.h"
#include "audio/wave_devices.h"
#include "audio/wave_format.h"

namespace quorell {

// Records the first input device in the wave format given to Open and hands the owner one
// buffer of encoded audio at a time: about one second, cut at a whole block of the format, in
// recording order with nothing lost or repeated between buffers. Once opened it records until
// it is destroyed; there is no close. Everything runs on the user-interface thread.
class TACMWaveIn {
public:
    // data is valid only during the call; size is the buffer length in bytes.
    using TOnData = std::function<void(const char* data, int size)>;
    using MessageHandler = std::function<void(const std::string& text)>;

    // Error number shown when the format cannot be recorded at all, and when there is no
    // input device.
    static constexpr int kUnsupportedFormat = 32;
    static constexpr int kNoDevice = 2;
    // Complete buffers kept while the owner is still busy with an earlier one (a modal box
    // inside OnData); beyond that the oldest is dropped.
    static constexpr std::size_t kMaxPendingBuffers = 3;

    // device may be null (no sound device); show_message reports failures to the user.
    TACMWaveIn(IWaveInputDevice* device, MessageHandler show_message);
    TACMWaveIn(const TACMWaveIn&) = delete;
    TACMWaveIn& operator=(const TACMWaveIn&) = delete;
    ~TACMWaveIn();

    // Opens the device with format and starts recording. Does nothing when format is null or
    // when the component is already open, even if that open failed.
    void Open(const WaveFormat* format);

    bool IsOpen() const { return open_; }
    bool Recording() const { return codec_ != nullptr; }
    // Bytes per buffer handed to OnData; 0 until a successful Open.
    std::size_t BufferLength() const { return buffer_length_; }

    TOnData OnData;

private:
    void Recorded(std::span<const std::int16_t> samples);
    void Fail(int error);

    IWaveInputDevice* device_;
    MessageHandler show_message_;
    bool open_ = false;
    std::unique_ptr<AudioCodec> codec_;
    std::size_t buffer_length_ = 0;
    std::size_t block_values_ = 0;   // samples of all channels in one codec block
    std::vector<std::int16_t> pcm_;  // recorded samples not yet making up a whole block
    std::string encoded_;            // encoded blocks not yet making up a whole buffer
    std::deque<std::string> ready_;  // whole buffers waiting for OnData
    bool delivering_ = false;
    // Cleared on destruction, so a device report arriving later is ignored.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace quorell
