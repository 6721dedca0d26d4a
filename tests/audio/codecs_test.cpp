#include "audio/codec.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <numbers>
#include <random>
#include <string>
#include <vector>

namespace quorell {
namespace {

// A 440 Hz tone (plus a quieter 1230 Hz one) at half scale, interleaved over the channels,
// the channels slightly out of phase: whole blocks of the codec, about one second.
std::vector<std::int16_t> Tone(const AudioCodec& codec, std::uint32_t rate) {
    const std::size_t per_block = codec.SamplesPerBlock();
    const std::size_t frames = (rate + per_block - 1) / per_block * per_block;
    std::vector<std::int16_t> pcm;
    for (std::size_t i = 0; i < frames; ++i) {
        for (std::uint16_t ch = 0; ch < codec.Channels(); ++ch) {
            const double t = static_cast<double>(i) / rate + ch * 0.0003;
            const double v = 0.4 * std::sin(2 * std::numbers::pi * 440 * t) +
                             0.1 * std::sin(2 * std::numbers::pi * 1230 * t);
            pcm.push_back(static_cast<std::int16_t>(std::lround(32767 * v)));
        }
    }
    return pcm;
}

double SnrDb(const std::vector<std::int16_t>& ref, const std::vector<std::int16_t>& got) {
    double signal = 0, noise = 0;
    for (std::size_t i = 0; i < ref.size(); ++i) {
        const double r = ref[i], e = r - got[i];
        signal += r * r;
        noise += e * e;
    }
    return noise == 0 ? 1000 : 10 * std::log10(signal / noise);
}

struct SnrCase {
    WaveFormat format;
    double floor_db;
};

TEST(CodecsTest, ToneRoundTripsAboveEachCodecsFloor) {
    const SnrCase cases[] = {
        {PcmFormat(8000, 16, 1), 999},  {PcmFormat(44100, 16, 2), 999},
        {PcmFormat(11025, 8, 1), 40},   {PcmFormat(22050, 8, 2), 40},
        {ALawFormat(8000, 1), 30},      {MuLawFormat(8000, 2), 30},
        {ImaAdpcmFormat(8000, 1), 20},  {ImaAdpcmFormat(22050, 2), 20},
        {ImaAdpcmFormat(44100, 1), 20},
    };
    for (const SnrCase& c : cases) {
        SCOPED_TRACE(Describe(c.format));
        auto codec = MakeCodec(c.format);
        ASSERT_TRUE(codec);
        EXPECT_EQ(codec->BlockBytes(), c.format.nBlockAlign);
        const auto pcm = Tone(*codec, c.format.nSamplesPerSec);
        std::string bytes;
        codec->Encode(pcm, bytes);
        EXPECT_EQ(bytes.size(),
                  pcm.size() / codec->Channels() / codec->SamplesPerBlock() * codec->BlockBytes());
        std::vector<std::int16_t> back;
        codec->Decode(bytes, back);
        ASSERT_EQ(back.size(), pcm.size());
        EXPECT_GT(SnrDb(pcm, back), c.floor_db);
    }
}

std::uint8_t EncodeOne(AudioCodec& codec, std::int16_t sample) {
    std::string out;
    codec.Encode(std::vector<std::int16_t>{sample}, out);
    return static_cast<std::uint8_t>(out.at(0));
}

std::int16_t DecodeOne(AudioCodec& codec, std::uint8_t code) {
    std::vector<std::int16_t> out;
    codec.Decode(std::string(1, static_cast<char>(code)), out);
    return out.at(0);
}

TEST(CodecsTest, G711MatchesTheReferenceTables) {
    auto alaw = MakeCodec(ALawFormat(8000, 1));
    auto ulaw = MakeCodec(MuLawFormat(8000, 1));
    EXPECT_EQ(EncodeOne(*ulaw, 0), 0xFF);
    EXPECT_EQ(EncodeOne(*ulaw, -1), 0x7F);
    EXPECT_EQ(EncodeOne(*ulaw, -32768), 0x00);
    EXPECT_EQ(EncodeOne(*ulaw, 1000), 0xCE);
    EXPECT_EQ(DecodeOne(*ulaw, 0x00), -32124);
    EXPECT_EQ(DecodeOne(*ulaw, 0xFF), 0);
    EXPECT_EQ(EncodeOne(*alaw, 0), 0xD5);
    EXPECT_EQ(EncodeOne(*alaw, -1), 0x55);
    EXPECT_EQ(EncodeOne(*alaw, 32767), 0xAA);
    EXPECT_EQ(EncodeOne(*alaw, 1000), 0xFA);
    EXPECT_EQ(DecodeOne(*alaw, 0xD5), 8);
    EXPECT_EQ(DecodeOne(*alaw, 0x2A), -32256);

    // Every sample comes back within one quantisation step of its segment.
    for (int x = -32768; x <= 32767; ++x) {
        const auto s = static_cast<std::int16_t>(x);
        const std::uint8_t a = EncodeOne(*alaw, s), u = EncodeOne(*ulaw, s);
        const int a_segment = ((a ^ 0x55) >> 4) & 7, u_segment = ((~u) >> 4) & 7;
        const int a_step = 16 << std::max(a_segment - 1, 0), u_step = 8 << u_segment;
        ASSERT_LE(std::abs(DecodeOne(*alaw, a) - x), a_step) << x;
        if (std::abs(x) <= 32124) {
            ASSERT_LE(std::abs(DecodeOne(*ulaw, u) - x), u_step) << x;
        }
    }
}

TEST(CodecsTest, ImaBlocksHoldTheirSamples) {
    auto mono = MakeCodec(ImaAdpcmFormat(8000, 1));
    EXPECT_EQ(mono->SamplesPerBlock(), 505u);
    std::string bytes;
    mono->Encode(std::vector<std::int16_t>(505, 1234), bytes);
    ASSERT_EQ(bytes.size(), 256u);
    EXPECT_EQ(bytes.substr(0, 2), "\xD2\x04");  // the first sample, exact
    EXPECT_EQ(bytes[3], '\0');

    // A hostile header: index 255 decodes as the largest step, samples stay in range.
    std::string block(256, '\x77');
    block[2] = '\xFF';
    std::vector<std::int16_t> out;
    mono->Decode(block, out);
    ASSERT_EQ(out.size(), 505u);
    EXPECT_EQ(out[1], 32767);
}

TEST(CodecsTest, AnyBytesDecodeToWholeBlocksOnly) {
    EXPECT_FALSE(MakeCodec(PcmFormat(8000, 24, 1)));
    EXPECT_FALSE(MakeCodec(WaveFormat{}));
    std::mt19937 random(7);
    for (const WaveFormat& f : SupportedFormats()) {
        if (f.wFormatTag == kWaveFormatGsm610) continue;
        auto codec = MakeCodec(f);
        ASSERT_TRUE(codec);
        for (std::size_t blocks : {0u, 1u, 3u}) {
            for (std::size_t spare : {std::size_t{0}, codec->BlockBytes() - 1}) {
                std::string bytes(blocks * codec->BlockBytes() + spare, '\0');
                for (char& b : bytes) b = static_cast<char>(random());
                std::vector<std::int16_t> out{42};
                codec->Decode(bytes, out);
                EXPECT_EQ(out.size(), 1 + blocks * codec->SamplesPerBlock() * codec->Channels())
                    << Describe(f);
            }
        }
    }
}

}  // namespace
}  // namespace quorell
