#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "audio/wave_format.h"

namespace quorell {

// Converts between 16-bit signed PCM, interleaved with the format's channels at the format's
// rate (what the sound device gives and takes), and the bytes of one wave format. A block is
// the smallest unit of the format: one sample frame for PCM and G.711, 320 samples in 65 bytes
// for GSM 6.10, SamplesPerBlock samples in nBlockAlign bytes for IMA ADPCM.
class AudioCodec {
public:
    virtual ~AudioCodec() = default;
    // Samples per channel in one block.
    virtual std::size_t SamplesPerBlock() const = 0;
    // Bytes of one encoded block (the format's nBlockAlign).
    virtual std::size_t BlockBytes() const = 0;
    virtual std::uint16_t Channels() const = 0;
    // Appends the encoding of whole blocks to out. pcm holds a whole number of blocks
    // (SamplesPerBlock() * Channels() values each).
    virtual void Encode(std::span<const std::int16_t> pcm, std::string& out) = 0;
    // Appends the samples of every whole block in bytes to out; a trailing partial block is
    // dropped. Any bytes decode to something: malformed input never crashes.
    virtual void Decode(std::string_view bytes, std::vector<std::int16_t>& out) = 0;
};

// The codec of a supported format; nothing for any other.
std::unique_ptr<AudioCodec> MakeCodec(const WaveFormat& format);

}  // namespace quorell
