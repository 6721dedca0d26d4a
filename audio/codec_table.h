#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "audio/codec.h"
#include "audio/wave_format.h"

namespace quorell {

// What re-encoding the samples a codec decoded gives back.
enum class ReEncoding {
    kSameBytes,    // the very bytes that were decoded: the codec loses nothing
    kSameSamples,  // bytes that decode to the same samples again
    kLossy,        // neither: only whole blocks again
};

// One codec the program records and plays with. The table of these rows is the only place a
// codec is registered: the supported formats and their order, the kinds that descriptions and
// the chooser show, and the factory behind MakeCodec all come from it.
struct CodecRow {
    std::uint16_t tag;      // wFormatTag of its records
    std::string_view name;  // the kind as shown to the user, e.g. "GSM 6.10"
    // Appends every record of this kind the program offers, in the order a chooser lists them.
    void (*formats)(std::vector<WaveFormat>& out);
    // The codec of one of those records; nothing for a record it cannot code.
    std::unique_ptr<AudioCodec> (*make)(const WaveFormat& format);
    ReEncoding re_encoding;
};

// Every codec, in the order a chooser lists their formats.
std::span<const CodecRow> CodecTable();
// The row of a format tag; nothing for a tag no codec handles.
const CodecRow* FindCodecRow(std::uint16_t tag);

}  // namespace quorell
