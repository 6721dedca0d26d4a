// The cost of every voice format's codec: encoding and decoding 20 seconds of a speech-like
// signal at the format's rate and channels, in microseconds of processor time per second of
// audio (the best of a few passes), so each figure reads as a share of one core: 10000 us/s is
// one percent. Prints figures; it never judges them.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <numbers>
#include <string>
#include <vector>

#include "audio/codec.h"
#include "audio/wave_format.h"

using namespace quorell;

namespace {

constexpr int kSeconds = 20;
constexpr int kPasses = 5;

// Voiced speech: a gliding pitch with formant-shaped harmonics, a syllable-rate envelope and
// a little noise, the same on every channel apart from a small level difference.
std::vector<std::int16_t> Speechlike(std::uint32_t rate, std::uint16_t channels,
                                     std::size_t frames) {
    std::vector<std::int16_t> pcm(frames * channels);
    double phase = 0;
    unsigned noise = 1;
    for (std::size_t n = 0; n < frames; ++n) {
        const double t = static_cast<double>(n) / rate;
        const double pitch = 130 + 30 * std::sin(2 * std::numbers::pi * 0.7 * t);
        phase += 2 * std::numbers::pi * pitch / rate;
        double value = 0;
        for (int h = 1; h * pitch < std::min(3800.0, rate / 2.0); ++h) {
            const double f = h * pitch;
            value += (std::exp(-std::pow((f - 700) / 250, 2)) +
                      0.5 * std::exp(-std::pow((f - 1200) / 300, 2)) + 0.05) *
                     std::sin(h * phase) / h;
        }
        noise = noise * 1103515245u + 12345u;
        value += (static_cast<int>((noise >> 16) & 255) - 128) / 4000.0;
        const double level = 9000 * (0.6 + 0.4 * std::sin(2 * std::numbers::pi * 4 * t));
        for (std::uint16_t c = 0; c < channels; ++c) {
            pcm[n * channels + c] = static_cast<std::int16_t>(std::lround(level * value / (1 + c)));
        }
    }
    return pcm;
}

double CpuMicros() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return now.tv_sec * 1e6 + now.tv_nsec / 1e3;
}

}  // namespace

int main() {
    std::printf(
        "codec cost over %d s of speech-like audio, best of %d passes, "
        "processor us per second of audio\n",
        kSeconds, kPasses);
    std::printf("%-10s %-10s %8s  %s\n", "encode", "decode", "bytes/s", "format");
    int failures = 0;
    for (const WaveFormat& format : SupportedFormats()) {
        auto encoder = MakeCodec(format);
        auto decoder = MakeCodec(format);
        if (!encoder || !decoder) {
            std::printf("%-10s %-10s %8s  %s\n", "-", "-", "-", Describe(format).c_str());
            ++failures;
            continue;
        }
        // Whole blocks only, as the capture side hands them over.
        const std::size_t per_block = encoder->SamplesPerBlock();
        const std::size_t frames = format.nSamplesPerSec * kSeconds / per_block * per_block;
        const std::vector<std::int16_t> pcm =
            Speechlike(format.nSamplesPerSec, encoder->Channels(), frames);
        const double seconds = static_cast<double>(frames) / format.nSamplesPerSec;

        double best_encode = 1e300, best_decode = 1e300;
        std::string encoded;
        std::vector<std::int16_t> decoded;
        for (int pass = 0; pass < kPasses; ++pass) {
            encoded.clear();
            decoded.clear();
            double start = CpuMicros();
            encoder->Encode(pcm, encoded);
            best_encode = std::min(best_encode, CpuMicros() - start);
            start = CpuMicros();
            decoder->Decode(encoded, decoded);
            best_decode = std::min(best_decode, CpuMicros() - start);
        }
        if (decoded.size() != pcm.size()) {
            std::fprintf(stderr, "%s: %zu samples in, %zu out\n", Describe(format).c_str(),
                         pcm.size(), decoded.size());
            ++failures;
        }
        std::printf("%-10.1f %-10.1f %8.0f  %s\n", best_encode / seconds, best_decode / seconds,
                    static_cast<double>(encoded.size()) / seconds, Describe(format).c_str());
    }
    return failures == 0 ? 0 : 1;
}
