// GSM 6.10 full-rate speech in the wave block layout: each 65-byte block carries 320 mono
// samples as two 160-sample frames packed back to back, the first in 32.5 bytes and the second
// in the remaining 32.5 (libgsm's WAV49 packing). libgsm keeps the frame-to-frame filter state,
// so one handle per direction lives as long as the codec.

#include <gsm.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "audio/codec.h"
#include "audio/codecs_internal.h"
#include "audio/wave_format.h"

namespace quorell {
namespace {

constexpr std::size_t kFrameSamples = 160;
constexpr std::size_t kBlockSamples = 2 * kFrameSamples;
constexpr std::size_t kBlockBytes = 65;
// In WAV49 packing the encoder writes the first frame's 32 whole bytes and keeps its last
// half-byte, which opens the second frame; the decoder reads the first frame from 33 bytes (the
// last one shared) and the second from the 32 after them.
constexpr std::size_t kFirstEncodedBytes = 32;
constexpr std::size_t kFirstDecodedBytes = 33;

struct GsmDeleter {
    void operator()(gsm_state* handle) const { gsm_destroy(handle); }
};
using GsmHandle = std::unique_ptr<gsm_state, GsmDeleter>;

GsmHandle MakeWav49Handle() {
    GsmHandle handle(gsm_create());
    if (!handle) return nullptr;
    int one = 1;
    if (gsm_option(handle.get(), GSM_OPT_WAV49, &one) < 0) return nullptr;
    return handle;
}

// Every block starts with the first frame of a pair, whatever happened to the block before.
void StartBlock(gsm_state* handle) {
    int zero = 0;
    gsm_option(handle, GSM_OPT_FRAME_INDEX, &zero);
}

class Gsm610Codec final : public AudioCodec {
public:
    Gsm610Codec(GsmHandle encoder, GsmHandle decoder)
        : encoder_(std::move(encoder)), decoder_(std::move(decoder)) {}

    std::size_t SamplesPerBlock() const override { return kBlockSamples; }
    std::size_t BlockBytes() const override { return kBlockBytes; }
    std::uint16_t Channels() const override { return 1; }

    void Encode(std::span<const std::int16_t> pcm, std::string& out) override {
        const std::size_t blocks = pcm.size() / kBlockSamples;
        out.reserve(out.size() + blocks * kBlockBytes);
        // libgsm takes non-const pointers, so each block goes through local copies.
        std::array<gsm_signal, kBlockSamples> samples{};
        std::array<gsm_byte, kBlockBytes> block{};
        for (std::size_t b = 0; b < blocks; ++b) {
            std::copy_n(pcm.begin() + static_cast<std::ptrdiff_t>(b * kBlockSamples), kBlockSamples,
                        samples.begin());
            StartBlock(encoder_.get());
            gsm_encode(encoder_.get(), samples.data(), block.data());
            gsm_encode(encoder_.get(), samples.data() + kFrameSamples,
                       block.data() + kFirstEncodedBytes);
            out.append(reinterpret_cast<const char*>(block.data()), block.size());
        }
    }

    void Decode(std::string_view bytes, std::vector<std::int16_t>& out) override {
        const std::size_t blocks = bytes.size() / kBlockBytes;
        out.reserve(out.size() + blocks * kBlockSamples);
        std::array<gsm_byte, kBlockBytes> block{};
        std::array<gsm_signal, kBlockSamples> samples{};
        for (std::size_t b = 0; b < blocks; ++b) {
            std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(b * kBlockBytes), kBlockBytes,
                        block.begin());
            StartBlock(decoder_.get());
            const bool ok = gsm_decode(decoder_.get(), block.data(), samples.data()) == 0 &&
                            gsm_decode(decoder_.get(), block.data() + kFirstDecodedBytes,
                                       samples.data() + kFrameSamples) == 0;
            // A block the library refuses plays as silence of the same length.
            if (!ok) samples.fill(0);
            out.insert(out.end(), samples.begin(), samples.end());
        }
    }

private:
    GsmHandle encoder_;
    GsmHandle decoder_;
};

}  // namespace

std::unique_ptr<AudioCodec> MakeGsm610Codec(const WaveFormat& format) {
    if (format.wFormatTag != kWaveFormatGsm610 || format.nChannels != 1 ||
        format.nBlockAlign != kBlockBytes) {
        return nullptr;
    }
    // The extra bytes, when present, give the samples per block: nothing but 320 fits 65 bytes.
    if (format.extra.size() >= 2 &&
        (format.extra[0] | format.extra[1] << 8) != static_cast<int>(kBlockSamples)) {
        return nullptr;
    }
    GsmHandle encoder = MakeWav49Handle();
    GsmHandle decoder = MakeWav49Handle();
    if (!encoder || !decoder) return nullptr;
    return std::make_unique<Gsm610Codec>(std::move(encoder), std::move(decoder));
}

}  // namespace quorell
