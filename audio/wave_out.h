#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
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
//
// The queue is kept short: the block playing and the next one. A sound device that fails
// after opening is reported once and closed; playback opens it again by itself once it can.
class TACMWaveOut {
public:
    using MessageHandler = std::function<void(const std::string& text)>;
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    static constexpr int kUnsupportedFormat = 32;
    static constexpr int kNoDevice = 2;
    // Seconds of audio queued on the device at most, counting the block playing in full: the
    // recorder's one-second block playing and the next. A block that would queue more is
    // dropped, so the delay stays near one block and no sender can make the queue grow.
    static constexpr std::uint64_t kMaxQueuedSeconds = 2;
    // How often a lost or missing device is tried again, at the most.
    static constexpr std::chrono::milliseconds kRetryInterval{1000};

    // device may be null (no sound device); show_message reports failures to the user.
    TACMWaveOut(IWaveOutputDevice* device, MessageHandler show_message);
    TACMWaveOut(const TACMWaveOut&) = delete;
    TACMWaveOut& operator=(const TACMWaveOut&) = delete;
    // Closes the device if this component opened it.
    ~TACMWaveOut();

    // Opens the device with format. Does nothing when format is null; when the component is
    // already open it keeps its format, and only tries the device again if it was lost. A
    // failed open is reported once; the component then counts as open and drops blocks
    // silently until the device opens.
    void Open(const WaveFormat* format);

    // Queues the whole blocks of data[0..size) behind those already playing; a trailing
    // partial block is dropped, and so is a block beyond the queue's bound. The bytes are
    // converted before returning, so the caller may reuse its buffer at once. Dropped silently
    // while not open or without a device.
    void Play(const char* data, int size);

    bool IsOpen() const { return open_; }
    bool Playing() const { return device_open_; }
    // Blocks handed to the device that it has not reported played yet, and their sample frames.
    std::size_t QueuedBlocks() const { return queued_.size(); }
    std::uint64_t QueuedFrames() const { return queued_frames_; }
    // Blocks dropped because the queue was full.
    std::uint64_t DroppedBlocks() const { return dropped_; }

    // Replaces the clock that paces the retries (tests).
    void SetClock(Clock clock) { clock_ = std::move(clock); }

private:
    bool OpenDevice();
    void Played(std::uint64_t session);
    void Lost(const std::string& message);
    void Report(const std::string& message);

    IWaveOutputDevice* device_;
    MessageHandler show_message_;
    Clock clock_ = [] { return std::chrono::steady_clock::now(); };
    bool open_ = false;
    bool device_open_ = false;
    // A failure has been told and the device has not played anything since.
    bool fault_told_ = false;
    std::chrono::steady_clock::time_point last_try_{};
    int rate_ = 0;
    std::unique_ptr<AudioCodec> codec_;
    std::vector<std::int16_t> pcm_;
    std::deque<std::uint64_t> queued_;  // sample frames of each block on the device, in order
    std::uint64_t queued_frames_ = 0;
    std::uint64_t dropped_ = 0;
    // Counts the device's openings, so reports from an earlier opening are ignored.
    std::uint64_t session_ = 0;
    // Cleared on destruction, so a device report arriving later is ignored.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace quorell
