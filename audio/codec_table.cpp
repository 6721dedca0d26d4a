#include "audio/codec_table.h"

#include <array>

#include "audio/codecs_internal.h"

namespace quorell {
namespace {

constexpr std::array<std::uint32_t, 4> kRates = {8000, 11025, 22050, 44100};

// Every rate, mono then stereo at each.
template <WaveFormat (*Make)(std::uint32_t, std::uint16_t)>
void EveryRateAndChannels(std::vector<WaveFormat>& out) {
    for (std::uint32_t rate : kRates) {
        for (std::uint16_t channels : {1, 2}) out.push_back(Make(rate, channels));
    }
}

void PcmFormats(std::vector<WaveFormat>& out) {
    for (std::uint32_t rate : kRates) {
        for (std::uint16_t bits : {8, 16}) {
            for (std::uint16_t channels : {1, 2}) out.push_back(PcmFormat(rate, bits, channels));
        }
    }
}

void Gsm610Formats(std::vector<WaveFormat>& out) {
    out.push_back(Gsm610Format(8000));
}

constexpr CodecRow kTable[] = {
    {kWaveFormatPcm, "PCM", &PcmFormats, &MakePcmCodec, ReEncoding::kSameBytes},
    {kWaveFormatALaw, "CCITT A-Law", &EveryRateAndChannels<&ALawFormat>, &MakeG711Codec,
     ReEncoding::kSameSamples},
    {kWaveFormatMuLaw, "CCITT u-Law", &EveryRateAndChannels<&MuLawFormat>, &MakeG711Codec,
     ReEncoding::kSameSamples},
    {kWaveFormatGsm610, "GSM 6.10", &Gsm610Formats, &MakeGsm610Codec, ReEncoding::kLossy},
    {kWaveFormatImaAdpcm, "IMA ADPCM", &EveryRateAndChannels<&ImaAdpcmFormat>, &MakeImaAdpcmCodec,
     ReEncoding::kLossy},
};

}  // namespace

std::span<const CodecRow> CodecTable() {
    return kTable;
}

const CodecRow* FindCodecRow(std::uint16_t tag) {
    for (const CodecRow& row : kTable) {
        if (row.tag == tag) return &row;
    }
    return nullptr;
}

}  // namespace quorell
