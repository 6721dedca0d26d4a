#include <algorithm>
#include <array>

#include "audio/codecs_internal.h"

namespace quorell {
namespace {

constexpr std::array<int, 89> kStepSizes = {
    7,     8,     9,     10,    11,    12,    13,    14,    16,    17,    19,   21,    23,
    25,    28,    31,    34,    37,    41,    45,    50,    55,    60,    66,   73,    80,
    88,    97,    107,   118,   130,   143,   157,   173,   190,   209,   230,  253,   279,
    307,   337,   371,   408,   449,   494,   544,   598,   658,   724,   796,  876,   963,
    1060,  1166,  1282,  1411,  1552,  1707,  1878,  2066,  2272,  2499,  2749, 3024,  3327,
    3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845,  8630,  9493, 10442, 11487,
    12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};
constexpr std::array<int, 16> kIndexSteps = {-1, -1, -1, -1, 2, 4, 6, 8,
                                             -1, -1, -1, -1, 2, 4, 6, 8};
constexpr int kMaxIndex = 88;
constexpr std::size_t kHeaderBytesPerChannel = 4;
constexpr std::size_t kGroupBytes = 4;  // 8 samples of one channel
constexpr std::size_t kGroupSamples = 8;

struct ChannelState {
    int predictor = 0;
    int index = 0;

    // Applies one 4-bit code, the same way on both sides, and returns the new sample.
    std::int16_t Apply(int nibble) {
        const int step = kStepSizes[static_cast<std::size_t>(index)];
        int delta = step >> 3;
        if (nibble & 4) delta += step;
        if (nibble & 2) delta += step >> 1;
        if (nibble & 1) delta += step >> 2;
        predictor = std::clamp(nibble & 8 ? predictor - delta : predictor + delta, -32768, 32767);
        index = std::clamp(index + kIndexSteps[static_cast<std::size_t>(nibble)], 0, kMaxIndex);
        return static_cast<std::int16_t>(predictor);
    }

    int Quantize(std::int16_t sample) const {
        int diff = sample - predictor;
        int nibble = 0;
        if (diff < 0) {
            nibble = 8;
            diff = -diff;
        }
        int step = kStepSizes[static_cast<std::size_t>(index)];
        for (int bit = 4; bit != 0; bit >>= 1, step >>= 1) {
            if (diff >= step) {
                nibble |= bit;
                diff -= step;
            }
        }
        return nibble;
    }
};

// Blocks of the Microsoft WAV layout: for each channel a header (first sample, int16 LE; step
// index; a zero byte), then groups of 4 bytes per channel in turn, each holding 8 codes of that
// channel, the low nibble first.
class ImaAdpcmCodec final : public AudioCodec {
public:
    ImaAdpcmCodec(std::uint16_t channels, std::size_t block_bytes)
        : channels_(channels), block_bytes_(block_bytes), encoders_(channels) {
        groups_ = (block_bytes - kHeaderBytesPerChannel * channels) / (kGroupBytes * channels);
    }

    std::size_t SamplesPerBlock() const override { return 1 + groups_ * kGroupSamples; }
    std::size_t BlockBytes() const override { return block_bytes_; }
    std::uint16_t Channels() const override { return channels_; }

    void Encode(std::span<const std::int16_t> pcm, std::string& out) override {
        const std::size_t frame = SamplesPerBlock() * channels_;
        for (std::size_t start = 0; start + frame <= pcm.size(); start += frame) {
            EncodeBlock(pcm.subspan(start, frame), out);
        }
    }

    void Decode(std::string_view bytes, std::vector<std::int16_t>& out) override {
        for (std::size_t start = 0; start + block_bytes_ <= bytes.size(); start += block_bytes_) {
            DecodeBlock(bytes.substr(start, block_bytes_), out);
        }
    }

private:
    void EncodeBlock(std::span<const std::int16_t> pcm, std::string& out) {
        // The header sample is exact; the step index carries over from the previous block.
        for (std::uint16_t ch = 0; ch < channels_; ++ch) {
            ChannelState& state = encoders_[ch];
            const std::int16_t first = pcm[ch];
            state.predictor = first;
            const auto bits = static_cast<std::uint16_t>(first);
            out.push_back(static_cast<char>(bits & 0xFF));
            out.push_back(static_cast<char>(bits >> 8));
            out.push_back(static_cast<char>(state.index));
            out.push_back('\0');
        }
        for (std::size_t group = 0; group < groups_; ++group) {
            for (std::uint16_t ch = 0; ch < channels_; ++ch) {
                ChannelState& state = encoders_[ch];
                std::array<std::uint8_t, kGroupBytes> packed{};
                for (std::size_t k = 0; k < kGroupSamples; ++k) {
                    const std::size_t sample = 1 + group * kGroupSamples + k;
                    const int nibble = state.Quantize(pcm[sample * channels_ + ch]);
                    state.Apply(nibble);
                    packed[k / 2] |= static_cast<std::uint8_t>(nibble << (k % 2 ? 4 : 0));
                }
                out.append(reinterpret_cast<const char*>(packed.data()), packed.size());
            }
        }
    }

    void DecodeBlock(std::string_view block, std::vector<std::int16_t>& out) {
        const std::size_t base = out.size();
        out.resize(base + SamplesPerBlock() * channels_);
        std::vector<ChannelState> states(channels_);
        for (std::uint16_t ch = 0; ch < channels_; ++ch) {
            const auto* header =
                reinterpret_cast<const std::uint8_t*>(block.data()) + ch * kHeaderBytesPerChannel;
            const auto first =
                static_cast<std::int16_t>(static_cast<std::uint16_t>(header[0] | header[1] << 8));
            states[ch].predictor = first;
            // A peer may send any index byte: keep it inside the step table.
            states[ch].index = std::min<int>(header[2], kMaxIndex);
            out[base + ch] = first;
        }
        std::size_t at = kHeaderBytesPerChannel * channels_;
        for (std::size_t group = 0; group < groups_; ++group) {
            for (std::uint16_t ch = 0; ch < channels_; ++ch) {
                for (std::size_t k = 0; k < kGroupSamples; ++k) {
                    const auto byte = static_cast<std::uint8_t>(block[at + k / 2]);
                    const int nibble = k % 2 ? byte >> 4 : byte & 0x0F;
                    const std::size_t sample = 1 + group * kGroupSamples + k;
                    out[base + sample * channels_ + ch] = states[ch].Apply(nibble);
                }
                at += kGroupBytes;
            }
        }
    }

    std::uint16_t channels_;
    std::size_t block_bytes_;
    std::size_t groups_ = 0;
    std::vector<ChannelState> encoders_;
};

}  // namespace

std::unique_ptr<AudioCodec> MakeImaAdpcmCodec(const WaveFormat& format) {
    if (format.wFormatTag != kWaveFormatImaAdpcm || format.wBitsPerSample != 4) return nullptr;
    const std::size_t channels = format.nChannels;
    const std::size_t header = kHeaderBytesPerChannel * channels;
    const std::size_t align = format.nBlockAlign;
    if (channels == 0 || align <= header || align % header != 0) return nullptr;
    // The samples per block the record announces must be what the block layout holds.
    if (format.extra.size() < 2) return nullptr;
    const std::size_t announced = format.extra[0] | format.extra[1] << 8;
    if (announced != (align - header) / (kGroupBytes * channels) * kGroupSamples + 1) {
        return nullptr;
    }
    return std::make_unique<ImaAdpcmCodec>(format.nChannels, align);
}

}  // namespace quorell
