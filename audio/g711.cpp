#include <array>

#include "audio/codecs_internal.h"

namespace quorell {
namespace {

// ITU-T G.711 companding: 8 segments, 16 levels each, sign in the top bit. A-law codes have
// their even bits inverted (0x55), u-law codes all bits.

constexpr std::array<int, 8> kALawSegmentEnd = {0x1F, 0x3F, 0x7F, 0xFF, 0x1FF, 0x3FF, 0x7FF, 0xFFF};
constexpr std::array<int, 8> kMuLawSegmentEnd = {0x3F,  0x7F,  0xFF,  0x1FF,
                                                 0x3FF, 0x7FF, 0xFFF, 0x1FFF};
constexpr int kMuLawBias = 0x84;
constexpr int kMuLawClip = 8159;

int Segment(int value, const std::array<int, 8>& ends) {
    int segment = 0;
    while (segment < 8 && value > ends[segment]) ++segment;
    return segment;
}

std::uint8_t LinearToALaw(std::int16_t sample) {
    int value = sample >> 3;  // 13-bit magnitude
    int mask = 0xD5;
    if (value < 0) {
        mask = 0x55;
        value = -value - 1;
    }
    const int segment = Segment(value, kALawSegmentEnd);
    if (segment >= 8) return static_cast<std::uint8_t>(0x7F ^ mask);
    int code = segment << 4;
    code |= segment < 2 ? (value >> 1) & 0x0F : (value >> segment) & 0x0F;
    return static_cast<std::uint8_t>(code ^ mask);
}

std::int16_t ALawToLinear(std::uint8_t code) {
    const int value = code ^ 0x55;
    int magnitude = (value & 0x0F) << 4;
    const int segment = (value & 0x70) >> 4;
    if (segment == 0) {
        magnitude += 8;
    } else {
        magnitude = (magnitude + 0x108) << (segment - 1);
    }
    return static_cast<std::int16_t>((value & 0x80) ? magnitude : -magnitude);
}

std::uint8_t LinearToMuLaw(std::int16_t sample) {
    // One's complement of negative samples, so that -1 codes as negative zero like +0 does.
    const int mask = sample < 0 ? 0x7F : 0xFF;
    int value = (sample < 0 ? ~sample : sample) >> 2;  // 13-bit magnitude
    if (value > kMuLawClip) value = kMuLawClip;
    value += kMuLawBias >> 2;
    const int segment = Segment(value, kMuLawSegmentEnd);
    if (segment >= 8) return static_cast<std::uint8_t>(0x7F ^ mask);
    const int code = (segment << 4) | ((value >> (segment + 1)) & 0x0F);
    return static_cast<std::uint8_t>(code ^ mask);
}

std::int16_t MuLawToLinear(std::uint8_t code) {
    const int value = ~code & 0xFF;
    int magnitude = ((value & 0x0F) << 3) + kMuLawBias;
    magnitude <<= (value & 0x70) >> 4;
    return static_cast<std::int16_t>((value & 0x80) ? kMuLawBias - magnitude
                                                    : magnitude - kMuLawBias);
}

// One byte per sample; one block is one sample frame.
class G711Codec final : public AudioCodec {
public:
    G711Codec(std::uint16_t channels, bool a_law) : channels_(channels), a_law_(a_law) {
        for (int code = 0; code < 256; ++code) {
            const auto c = static_cast<std::uint8_t>(code);
            decoded_[c] = a_law ? ALawToLinear(c) : MuLawToLinear(c);
        }
    }

    std::size_t SamplesPerBlock() const override { return 1; }
    std::size_t BlockBytes() const override { return channels_; }
    std::uint16_t Channels() const override { return channels_; }

    void Encode(std::span<const std::int16_t> pcm, std::string& out) override {
        const std::size_t count = pcm.size() - pcm.size() % channels_;
        out.reserve(out.size() + count);
        for (std::size_t i = 0; i < count; ++i) {
            out.push_back(static_cast<char>(a_law_ ? LinearToALaw(pcm[i]) : LinearToMuLaw(pcm[i])));
        }
    }

    void Decode(std::string_view bytes, std::vector<std::int16_t>& out) override {
        const std::size_t usable = bytes.size() - bytes.size() % channels_;
        out.reserve(out.size() + usable);
        for (std::size_t i = 0; i < usable; ++i) {
            out.push_back(decoded_[static_cast<std::uint8_t>(bytes[i])]);
        }
    }

private:
    std::uint16_t channels_;
    bool a_law_;
    std::array<std::int16_t, 256> decoded_{};
};

}  // namespace

std::unique_ptr<AudioCodec> MakeG711Codec(const WaveFormat& format) {
    const bool a_law = format.wFormatTag == kWaveFormatALaw;
    if (!a_law && format.wFormatTag != kWaveFormatMuLaw) return nullptr;
    if (format.nChannels == 0 || format.nBlockAlign != format.nChannels) return nullptr;
    return std::make_unique<G711Codec>(format.nChannels, a_law);
}

}  // namespace quorell
