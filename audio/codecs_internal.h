#pragma once

#include <memory>

#include "audio/codec.h"
#include "audio/wave_format.h"

namespace quorell {

// The concrete codecs, each in its own file, that the codec table (codec_table.cpp) hands
// out. Each takes a format of its own kind that IsSupported() accepts.
std::unique_ptr<AudioCodec> MakePcmCodec(const WaveFormat& format);
std::unique_ptr<AudioCodec> MakeG711Codec(const WaveFormat& format);
std::unique_ptr<AudioCodec> MakeImaAdpcmCodec(const WaveFormat& format);
std::unique_ptr<AudioCodec> MakeGsm610Codec(const WaveFormat& format);

}  // namespace quorell
