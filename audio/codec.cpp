#include "audio/codec.h"

#include "audio/codecs_internal.h"

namespace quorell {

std::unique_ptr<AudioCodec> MakeCodec(const WaveFormat& format) {
    if (!IsSupported(format)) return nullptr;
    switch (format.wFormatTag) {
        case kWaveFormatPcm:
            return MakePcmCodec(format);
        case kWaveFormatALaw:
        case kWaveFormatMuLaw:
            return MakeG711Codec(format);
        case kWaveFormatImaAdpcm:
            return MakeImaAdpcmCodec(format);
        case kWaveFormatGsm610:
            return MakeGsm610Codec(format);
        default:
            return nullptr;
    }
}

}  // namespace quorell
