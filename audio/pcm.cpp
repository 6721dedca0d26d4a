#include <algorithm>

#include "audio/codecs_internal.h"

namespace quorell {
namespace {

// One block is one sample frame. 16-bit samples are signed little-endian, 8-bit samples
// unsigned with 128 as silence.
class PcmCodec final : public AudioCodec {
public:
    PcmCodec(std::uint16_t channels, std::uint16_t bits) : channels_(channels), bits_(bits) {}

    std::size_t SamplesPerBlock() const override { return 1; }
    std::size_t BlockBytes() const override { return std::size_t{channels_} * bits_ / 8; }
    std::uint16_t Channels() const override { return channels_; }

    void Encode(std::span<const std::int16_t> pcm, std::string& out) override {
        const std::size_t count = pcm.size() - pcm.size() % channels_;
        if (bits_ == 16) {
            out.reserve(out.size() + 2 * count);
            for (std::size_t i = 0; i < count; ++i) {
                const auto v = static_cast<std::uint16_t>(pcm[i]);
                out.push_back(static_cast<char>(v & 0xFF));
                out.push_back(static_cast<char>(v >> 8));
            }
        } else {
            out.reserve(out.size() + count);
            for (std::size_t i = 0; i < count; ++i) {
                // Round to the nearest 8-bit level; the top of the range stays at 127.
                const int level = std::min((pcm[i] + 0x80) >> 8, 127);
                out.push_back(static_cast<char>(level + 128));
            }
        }
    }

    void Decode(std::string_view bytes, std::vector<std::int16_t>& out) override {
        const std::size_t usable = bytes.size() - bytes.size() % BlockBytes();
        if (bits_ == 16) {
            out.reserve(out.size() + usable / 2);
            for (std::size_t i = 0; i < usable; i += 2) {
                const auto lo = static_cast<std::uint8_t>(bytes[i]);
                const auto hi = static_cast<std::uint8_t>(bytes[i + 1]);
                out.push_back(static_cast<std::int16_t>(static_cast<std::uint16_t>(lo | hi << 8)));
            }
        } else {
            out.reserve(out.size() + usable);
            for (std::size_t i = 0; i < usable; ++i) {
                const int level = static_cast<std::uint8_t>(bytes[i]) - 128;
                out.push_back(static_cast<std::int16_t>(level * 256));
            }
        }
    }

private:
    std::uint16_t channels_;
    std::uint16_t bits_;
};

}  // namespace

std::unique_ptr<AudioCodec> MakePcmCodec(const WaveFormat& format) {
    if (format.wFormatTag != kWaveFormatPcm || format.nChannels == 0) return nullptr;
    if (format.wBitsPerSample != 8 && format.wBitsPerSample != 16) return nullptr;
    if (format.nBlockAlign != format.nChannels * format.wBitsPerSample / 8) return nullptr;
    return std::make_unique<PcmCodec>(format.nChannels, format.wBitsPerSample);
}

}  // namespace quorell
