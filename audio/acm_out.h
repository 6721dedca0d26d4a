#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "audio/codec.h"
#include "audio/wave_devices.h"
#include "audio/wave_format.h"
#include "common/errors.h"

namespace quorell {

// A failure of the compressed-audio playback component.
class EACMOut : public Error {
public:
    using Error::Error;
};

// A failure of the conversion component.
class EACMConvertor : public Error {
public:
    using Error::Error;
};

// The message for a failed wave-output call: the call's name followed directly by the text of
// the result code, or "<name> raised an unknown error (code #<code>)".
std::string WaveOutErrorMessage(const std::string& operation, int code);

// Plays blocks of one wave format on a sound output device, in the order they are given.
// Everything happens on the user-interface thread.
class TACMOut {
public:
    // Sender and the id of the block just played (as returned by the device's Write); raised
    // once for each block this component wrote.
    using TBufferPlayedEvent = std::function<void(TACMOut& sender, std::uint64_t id)>;

    explicit TACMOut(IWaveOutputDevice* device) : device_(device) {}
    ~TACMOut();
    TACMOut(const TACMOut&) = delete;
    TACMOut& operator=(const TACMOut&) = delete;

    // Opens the device for the format; nothing when already open. Throws EACMOut and stays
    // closed on failure.
    void Open(const WaveFormat& format);
    // Queues a copy of size bytes of the format (whole blocks; a trailing part is dropped).
    // Nothing when size is 0 or the component is closed. Throws EACMOut on failure.
    void Play(const char* data, int size);
    // Stops playback and releases the device; nothing when closed.
    void Close();

    bool IsOpen() const { return open_; }
    const WaveFormat& Format() const { return format_; }
    // Sample frames written to the device and not yet reported played.
    std::uint64_t QueuedFrames() const { return queued_frames_; }

    TBufferPlayedEvent OnBufferPlayed;
    // Raised after each played block of this component, after OnBufferPlayed: there is room
    // in the queue again. The stream sink's own, so OnBufferPlayed stays free for the owner.
    std::function<void()> OnQueueShrunk;

private:
    void Played(std::uint64_t id);

    IWaveOutputDevice* device_;
    bool open_ = false;
    WaveFormat format_;
    std::unique_ptr<AudioCodec> codec_;
    std::map<std::uint64_t, std::uint64_t> pending_;  // block id -> sample frames
    std::uint64_t queued_frames_ = 0;
    const std::uint64_t* writing_id_ = nullptr;  // during a Write: where the device puts the id
    bool written_played_ = false;
};

// Holds the source and destination formats of a conversion. The program only reads its input
// format (8 kHz, 8-bit, mono PCM) and never starts a conversion.
class TACMConvertor {
public:
    TACMConvertor();

    WaveFormat InputFormat;
    WaveFormat OutputFormat;

    std::uint32_t InputBufferSize() const { return input_buffer_size_; }
    // Throws EACMConvertor while a conversion is active.
    void SetInputBufferSize(std::uint32_t size);
    bool Active() const { return active_; }

private:
    std::uint32_t input_buffer_size_ = 2048;
    bool active_ = false;
};

}  // namespace quorell
