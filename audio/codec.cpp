#include "audio/codec.h"

#include "audio/codec_table.h"

namespace quorell {

std::unique_ptr<AudioCodec> MakeCodec(const WaveFormat& format) {
    if (!IsSupported(format)) return nullptr;
    const CodecRow* row = FindCodecRow(format.wFormatTag);
    return row != nullptr ? row->make(format) : nullptr;
}

}  // namespace quorell
