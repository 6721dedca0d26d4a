// Every audio decoder on any bytes, and the wave format record parser.
//
// Input: a first byte below 0x80 picks one of the supported formats and the rest is a received
// voice datagram; from 0x80 up, the rest starts with a wave format record, which must parse back
// to its own bytes, and whatever follows it is decoded if the record names a format we play.
// Decoding gives exactly the samples of the whole blocks; re-encoding those samples gives whole
// blocks again; a codec that loses nothing gives back the very bytes, and one whose codes are
// fixed points (G.711) gives back bytes that decode the same.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "audio/codec.h"
#include "audio/codec_table.h"
#include "audio/wave_format.h"
#include "fuzz_check.h"

namespace {

using namespace quorell;

void CheckCodec(const WaveFormat& format, std::string_view bytes) {
    const std::unique_ptr<AudioCodec> codec = MakeCodec(format);
    if (!codec) {
        FUZZ_CHECK(!IsSupported(format));
        return;
    }
    FUZZ_CHECK(codec->BlockBytes() == format.nBlockAlign && codec->Channels() == format.nChannels);
    const std::size_t blocks = bytes.size() / codec->BlockBytes();
    const std::size_t per_block = codec->SamplesPerBlock() * codec->Channels();

    std::vector<std::int16_t> pcm;
    codec->Decode(bytes, pcm);
    FUZZ_CHECK(pcm.size() == blocks * per_block);

    std::string encoded;
    codec->Encode(pcm, encoded);
    FUZZ_CHECK(encoded.size() == blocks * codec->BlockBytes());
    const CodecRow* row = FindCodecRow(format.wFormatTag);
    FUZZ_CHECK(row != nullptr);
    if (row->re_encoding == ReEncoding::kSameBytes) {
        FUZZ_CHECK(encoded == bytes.substr(0, encoded.size()));
    } else if (row->re_encoding == ReEncoding::kSameSamples) {
        std::vector<std::int16_t> again;
        codec->Decode(encoded, again);
        FUZZ_CHECK(again == pcm);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    static const std::vector<WaveFormat> formats = SupportedFormats();
    const std::span<const std::uint8_t> rest(data + 1, size - 1);
    if (data[0] < 0x80) {
        const WaveFormat& format = formats[data[0] % formats.size()];
        CheckCodec(format,
                   std::string_view(reinterpret_cast<const char*>(rest.data()), rest.size()));
        return 0;
    }
    const std::optional<WaveFormat> format = WaveFormat::Parse(rest);
    if (!format) {
        FUZZ_CHECK(rest.size() < WaveFormat::kHeaderBytes ||
                   rest.size() < WaveFormat::kHeaderBytes + (rest[16] | rest[17] << 8));
        return 0;
    }
    const std::vector<std::uint8_t> record = format->Bytes();
    FUZZ_CHECK(record.size() == WaveFormat::kHeaderBytes + format->cbSize);
    FUZZ_CHECK(std::equal(record.begin(), record.end(), rest.begin()));
    const std::span<const std::uint8_t> blocks = rest.subspan(record.size());
    CheckCodec(*format,
               std::string_view(reinterpret_cast<const char*>(blocks.data()), blocks.size()));
    return 0;
}
