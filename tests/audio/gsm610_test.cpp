#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "audio/codec.h"
#include "audio/codecs_internal.h"
#include "audio/wave_format.h"

namespace quorell {
namespace {

// Reference vectors made with another GSM 6.10 encoder (see data/README.md): a sweep as 16-bit
// PCM, its 65-byte blocks, and those blocks decoded again.
std::string ReadData(const char* name) {
    std::ifstream file(std::string(QUORELL_AUDIO_TEST_DATA) + "/" + name, std::ios::binary);
    EXPECT_TRUE(file) << name;
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

std::vector<std::int16_t> ReadPcm(const char* name) {
    const std::string bytes = ReadData(name);
    std::vector<std::int16_t> pcm(bytes.size() / 2);
    for (std::size_t i = 0; i < pcm.size(); ++i) {
        pcm[i] = static_cast<std::int16_t>(static_cast<std::uint8_t>(bytes[2 * i]) |
                                           static_cast<std::uint8_t>(bytes[2 * i + 1]) << 8);
    }
    return pcm;
}

// A voiced, vowel-like signal: a gliding 100..160 Hz pitch with harmonics shaped by two
// formants, and a syllable-rate envelope.
std::vector<std::int16_t> Speechlike(std::size_t samples) {
    std::vector<std::int16_t> pcm(samples);
    double phase = 0;
    for (std::size_t n = 0; n < samples; ++n) {
        const double t = static_cast<double>(n) / 8000;
        const double pitch = 130 + 30 * std::sin(2 * std::numbers::pi * 0.7 * t);
        phase += 2 * std::numbers::pi * pitch / 8000;
        double value = 0;
        for (int h = 1; h * pitch < 3800; ++h) {
            const double f = h * pitch;
            const double formants = std::exp(-std::pow((f - 700) / 250, 2)) +
                                    0.5 * std::exp(-std::pow((f - 1200) / 300, 2)) + 0.05;
            value += formants * std::sin(h * phase) / h;
        }
        const double envelope = 0.6 + 0.4 * std::sin(2 * std::numbers::pi * 4 * t);
        pcm[n] = static_cast<std::int16_t>(std::lround(9000 * envelope * value));
    }
    return pcm;
}

double SnrDb(const std::vector<std::int16_t>& original, const std::vector<std::int16_t>& coded) {
    double signal = 0;
    double noise = 0;
    for (std::size_t i = 0; i < original.size(); ++i) {
        signal += double(original[i]) * original[i];
        noise += std::pow(double(original[i]) - coded[i], 2);
    }
    return 10 * std::log10(signal / noise);
}

std::unique_ptr<AudioCodec> Codec() {
    auto codec = MakeGsm610Codec(Gsm610Format());
    EXPECT_NE(codec, nullptr);
    return codec;
}

TEST(Gsm610, MatchesTheReferenceEncoderAndDecoderBitForBit) {
    const std::vector<std::int16_t> input = ReadPcm("gsm610_input.pcm");
    const std::string reference = ReadData("gsm610_sox.gsm");
    const std::vector<std::int16_t> decoded = ReadPcm("gsm610_sox_decoded.pcm");
    ASSERT_EQ(input.size(), 3200u);
    ASSERT_EQ(reference.size(), 650u);

    std::string encoded;
    Codec()->Encode(input, encoded);
    EXPECT_EQ(encoded, reference);
    std::vector<std::int16_t> pcm;
    Codec()->Decode(reference, pcm);
    EXPECT_EQ(pcm, decoded);

    // The filter state carries from one call to the next: block by block gives the same.
    auto codec = Codec();
    std::string byBlock;
    std::vector<std::int16_t> pcmByBlock;
    for (std::size_t b = 0; b < 10; ++b) {
        codec->Encode(std::span(input).subspan(b * 320, 320), byBlock);
        codec->Decode(std::string_view(reference).substr(b * 65, 65), pcmByBlock);
    }
    EXPECT_EQ(byBlock, reference);
    EXPECT_EQ(pcmByBlock, decoded);
}

TEST(Gsm610, RoundTripKeepsSpeechIntelligible) {
    const std::vector<std::int16_t> input = Speechlike(8000 * 2);
    auto codec = Codec();
    std::string encoded;
    codec->Encode(input, encoded);
    ASSERT_EQ(encoded.size(), 2 * 1625u);
    std::vector<std::int16_t> output;
    codec->Decode(encoded, output);
    ASSERT_EQ(output.size(), input.size());
    EXPECT_GT(SnrDb(input, output), 10.0);
}

TEST(Gsm610, WholeBlocksOnlyAndAppends) {
    auto codec = Codec();
    EXPECT_EQ(codec->SamplesPerBlock(), 320u);
    EXPECT_EQ(codec->BlockBytes(), 65u);
    EXPECT_EQ(codec->Channels(), 1);

    std::string encoded = "head";
    codec->Encode(Speechlike(3 * 320), encoded);
    EXPECT_EQ(encoded.size(), 4 + 3 * 65u);
    EXPECT_EQ(encoded.substr(0, 4), "head");

    std::vector<std::int16_t> pcm(7, 1);
    codec->Decode(std::string_view(encoded).substr(4, 2 * 65 + 64), pcm);
    EXPECT_EQ(pcm.size(), 7 + 2 * 320u);

    // Records that do not describe 65-byte mono blocks of 320 samples get no codec.
    std::vector<WaveFormat> others(3, Gsm610Format());
    others[0].nChannels = 2;
    others[1].nBlockAlign = 1;
    others[2].extra = {0x41, 0x00};
    others.push_back(MuLawFormat(8000, 1));
    for (const WaveFormat& format : others) EXPECT_EQ(MakeGsm610Codec(format), nullptr);
}

TEST(Gsm610, AnyBytesDecodeToWholeBlocks) {
    auto codec = Codec();
    std::mt19937 random(610);
    std::string bytes(400 * 65, '\0');
    for (char& byte : bytes) byte = static_cast<char>(random());
    bytes += std::string(65, '\xFF') + std::string(65 + 17, '\0');
    std::vector<std::int16_t> pcm;
    codec->Decode(bytes, pcm);
    EXPECT_EQ(pcm.size(), (bytes.size() / 65) * 320);

    // Garbage leaves no lasting harm: within a few frames the decoder follows real blocks as a
    // fresh one does.
    std::string encoded;
    Codec()->Encode(Speechlike(8000), encoded);
    std::vector<std::int16_t> fresh;
    Codec()->Decode(encoded, fresh);
    pcm.clear();
    codec->Decode(encoded, pcm);
    ASSERT_EQ(pcm.size(), fresh.size());
    EXPECT_NE(pcm, fresh);
    EXPECT_EQ(std::vector(pcm.begin() + 4000, pcm.end()),
              std::vector(fresh.begin() + 4000, fresh.end()));
}

}  // namespace
}  // namespace quorell
