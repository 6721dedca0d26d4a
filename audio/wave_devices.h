#pragma once

#include <cstdint>
#include <functional>
#include <span>

namespace quorell {

// The sound devices the wave components record from and play to. Both speak 16-bit signed
// PCM, interleaved, at the rate and channel count they were opened with; the components convert
// to and from the chosen wave format themselves. The program's devices are Qt Multimedia's;
// tests use a paced tone source and a recording sink. Everything is called on, and reports to,
// the user-interface thread.
class IWaveInputDevice {
public:
    // Recorded samples in recording order, in whatever portions the device delivers them.
    using DataHandler = std::function<void(std::span<const std::int16_t> samples)>;

    virtual ~IWaveInputDevice() = default;
    // Opens the first input device and starts recording. 0 on success, else an error number
    // that the component shows to the user.
    virtual int Open(int rate, int channels, DataHandler handler) = 0;
};

class IWaveOutputDevice {
public:
    // A block given to Write has been played (its id, in the order written).
    using PlayedHandler = std::function<void(std::uint64_t id)>;

    virtual ~IWaveOutputDevice() = default;
    // Opens the first output device. 0 on success, else an error number.
    virtual int Open(int rate, int channels, PlayedHandler played) = 0;
    // Queues a copy of the samples behind everything written before; blocks play back to back
    // without gaps. 0 on success (with *id set), else an error number.
    virtual int Write(std::span<const std::int16_t> samples, std::uint64_t* id) = 0;
    // Stops playback, drops what is queued and releases the device.
    virtual void Close() = 0;
};

}  // namespace quorell
