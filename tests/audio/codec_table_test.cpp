#include "audio/codec_table.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <vector>

namespace quorell {
namespace {

// Every row's records carry its tag and get a codec of their shape from its maker, and each
// codec keeps the promise its row makes about re-encoding what it decoded.
TEST(CodecTableTest, EveryRowCodesTheFormatsItOffers) {
    std::set<std::uint16_t> tags;
    std::mt19937 random(11);
    for (const CodecRow& row : CodecTable()) {
        SCOPED_TRACE(std::string(row.name));
        EXPECT_TRUE(tags.insert(row.tag).second) << "tag listed twice";
        EXPECT_FALSE(row.name.empty());
        std::vector<WaveFormat> formats;
        row.formats(formats);
        ASSERT_FALSE(formats.empty());
        for (const WaveFormat& format : formats) {
            SCOPED_TRACE(Describe(format));
            EXPECT_EQ(format.wFormatTag, row.tag);
            auto codec = row.make(format);
            ASSERT_TRUE(codec);
            EXPECT_EQ(codec->BlockBytes(), format.nBlockAlign);
            EXPECT_EQ(codec->Channels(), format.nChannels);

            std::string bytes(2 * codec->BlockBytes(), '\0');
            for (char& b : bytes) b = static_cast<char>(random());
            std::vector<std::int16_t> pcm, again;
            codec->Decode(bytes, pcm);
            std::string encoded;
            codec->Encode(pcm, encoded);
            ASSERT_EQ(encoded.size(), bytes.size());
            codec->Decode(encoded, again);
            if (row.re_encoding == ReEncoding::kSameBytes) {
                EXPECT_EQ(encoded, bytes);
            }
            if (row.re_encoding != ReEncoding::kLossy) {
                EXPECT_EQ(again, pcm);
            }
        }
    }
}

}  // namespace
}  // namespace quorell
