#include "audio/wave_format.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <vector>

namespace quorell {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(WaveFormatTest, RecordsHaveTheSystemsBytes) {
    EXPECT_EQ(PcmFormat(8000, 16, 1).Bytes(),
              (Bytes{0x01, 0x00, 0x01, 0x00, 0x40, 0x1F, 0x00, 0x00, 0x80, 0x3E, 0x00, 0x00, 0x02,
                     0x00, 0x10, 0x00, 0x00, 0x00}));
    EXPECT_EQ(Gsm610Format().Bytes(),
              (Bytes{0x31, 0x00, 0x01, 0x00, 0x40, 0x1F, 0x00, 0x00, 0x59, 0x06,
                     0x00, 0x00, 0x41, 0x00, 0x00, 0x00, 0x02, 0x00, 0x40, 0x01}));
    EXPECT_EQ(ImaAdpcmFormat(8000, 1).Bytes(),
              (Bytes{0x11, 0x00, 0x01, 0x00, 0x40, 0x1F, 0x00, 0x00, 0xD7, 0x0F,
                     0x00, 0x00, 0x00, 0x01, 0x04, 0x00, 0x02, 0x00, 0xF9, 0x01}));
}

TEST(WaveFormatTest, ImaBlockSizesFollowTheRate) {
    struct Case {
        std::uint32_t rate;
        std::uint16_t channels, align, samples;
    };
    for (const Case& c :
         {Case{11025, 1, 256, 505}, Case{22050, 1, 512, 1017}, Case{44100, 1, 1024, 2041},
          Case{8000, 2, 512, 505}, Case{44100, 2, 2048, 2041}}) {
        const WaveFormat f = ImaAdpcmFormat(c.rate, c.channels);
        EXPECT_EQ(f.nBlockAlign, c.align) << c.rate;
        ASSERT_EQ(f.extra.size(), 2u);
        EXPECT_EQ(f.extra[0] | f.extra[1] << 8, c.samples) << c.rate;
        EXPECT_EQ(f.nAvgBytesPerSec, c.rate * c.align / c.samples);
    }
}

TEST(WaveFormatTest, ParseReadsBackAndRejectsShortRecords) {
    for (const WaveFormat& f : SupportedFormats()) EXPECT_EQ(WaveFormat::Parse(f.Bytes()), f);

    Bytes gsm = Gsm610Format().Bytes();
    EXPECT_FALSE(WaveFormat::Parse(std::span(gsm).first(19)));  // cbSize 2, one extra byte
    EXPECT_FALSE(WaveFormat::Parse(std::span(gsm).first(17)));
    EXPECT_FALSE(WaveFormat::Parse({}));

    // A longer buffer (the chooser hands over its maximum record size) parses to cbSize bytes.
    gsm.resize(64, 0xEE);
    EXPECT_EQ(WaveFormat::Parse(gsm), Gsm610Format());
    Bytes huge = PcmFormat(8000, 8, 1).Bytes();
    huge[16] = 0xFF;
    huge[17] = 0xFF;
    EXPECT_FALSE(WaveFormat::Parse(huge));
}

TEST(WaveFormatTest, SupportedFormatsAreWholeRecords) {
    const auto formats = SupportedFormats();
    EXPECT_EQ(formats.size(), 16u + 16u + 1u + 8u);
    std::set<Bytes> distinct;
    for (const WaveFormat& f : formats) distinct.insert(f.Bytes());
    EXPECT_EQ(distinct.size(), formats.size());

    EXPECT_TRUE(IsSupported(MuLawFormat(44100, 2)));
    EXPECT_TRUE(IsSupported(ImaAdpcmFormat(11025, 2)));
    EXPECT_FALSE(IsSupported(PcmFormat(48000, 16, 1)));
    EXPECT_FALSE(IsSupported(PcmFormat(8000, 24, 1)));
    EXPECT_FALSE(IsSupported(Gsm610Format(11025)));

    WaveFormat wrong_extra = ImaAdpcmFormat(8000, 1);
    wrong_extra.extra[0] ^= 1;
    EXPECT_FALSE(IsSupported(wrong_extra));
    // What the chooser starts from before the user picks: GSM's tag with PCM-like numbers.
    WaveFormat initial{kWaveFormatGsm610, 1, 8000, 8000, 1, 8, 0, {}};
    EXPECT_FALSE(IsSupported(initial));
}

TEST(WaveFormatTest, Describe) {
    EXPECT_EQ(Describe(PcmFormat(8000, 16, 1)), "PCM, 8.000 kHz, 16 Bit, Mono, 16000 bytes/s");
    EXPECT_EQ(Describe(Gsm610Format()), "GSM 6.10, 8.000 kHz, Mono, 1625 bytes/s");
    EXPECT_EQ(Describe(ALawFormat(11025, 2)),
              "CCITT A-Law, 11.025 kHz, 8 Bit, Stereo, 22050 bytes/s");
    EXPECT_EQ(Describe(MuLawFormat(44100, 1)),
              "CCITT u-Law, 44.100 kHz, 8 Bit, Mono, 44100 bytes/s");
    EXPECT_EQ(Describe(ImaAdpcmFormat(8000, 1)), "IMA ADPCM, 8.000 kHz, 4 Bit, Mono, 4055 bytes/s");
}

}  // namespace
}  // namespace quorell
