// Which ring sound files go to Qt's sound effect: Qt's wave reader spins forever on some damaged
// ones, and the program then never ends.
#include "app/ring_sound.h"

#include <gtest/gtest.h>

#include <QFile>
#include <cstdint>
#include <string>

namespace quorell {
namespace {

std::string Le32(std::uint32_t v) {
    std::string s(4, '\0');
    for (int k = 0; k < 4; ++k) s[k] = static_cast<char>(v >> (8 * k));
    return s;
}

std::string Chunk(const std::string& id, const std::string& body) {
    std::string chunk = id + Le32(static_cast<std::uint32_t>(body.size())) + body;
    if (body.size() % 2) chunk.push_back('\0');
    return chunk;
}

// 8 kHz mono 16-bit PCM, the ring sound's own format.
const std::string kFormat =
    std::string("\x01\x00\x01\x00\x40\x1F\x00\x00\x80\x3E\x00\x00\x02\x00\x10\x00", 16);

std::string Wave(const std::string& chunks) {
    return "RIFF" + Le32(static_cast<std::uint32_t>(chunks.size() + 4)) + "WAVE" + chunks;
}

bool Playable(const std::string& file) {
    return RingSoundPlayable(file, file.size());
}

TEST(RingSound, TheShippedSoundAndOtherWellFormedFilesArePlayed) {
    QFile shipped(QString::fromLocal8Bit(QUORELL_SOUND_WAV));
    ASSERT_TRUE(shipped.open(QIODevice::ReadOnly));
    EXPECT_TRUE(Playable(shipped.readAll().toStdString()));

    const std::string samples(400, '\x11');
    EXPECT_TRUE(Playable(Wave(Chunk("fmt ", kFormat) + Chunk("data", samples))));
    // Chunks of their own before and between, odd-sized ones padded; a longer format record.
    EXPECT_TRUE(Playable(Wave(Chunk("LIST", "INFOa") + Chunk("fmt ", kFormat + "\0\0") +
                              Chunk("fact", "1234") + Chunk("data", samples))));
    // Only the start of a long file is read: the samples may lie beyond it.
    const std::string head = Wave(Chunk("fmt ", kFormat)) + "data" + Le32(1000000);
    EXPECT_TRUE(RingSoundPlayable(head, head.size() + 1000000));
}

TEST(RingSound, DamagedFilesAreNotPlayed) {
    const std::string samples(400, '\x11');
    const std::string good = Wave(Chunk("fmt ", kFormat) + Chunk("data", samples));
    // A chunk size that wraps around when its header is added: Qt's reader never gets past it.
    EXPECT_FALSE(Playable(std::string("RIFF\0\0\0\0WAVE\xF9\x30\xD4\xBE\xF8\xFF\xFF\xFF", 20)));
    EXPECT_FALSE(Playable(Wave(Chunk("LIST", "x") + "fmt " + Le32(0xFFFFFFFF) + kFormat)));
    // Cut anywhere before the end of the samples.
    for (std::size_t n = 0; n < good.size(); n += 7) EXPECT_FALSE(Playable(good.substr(0, n))) << n;
    // Samples claimed beyond the end of the file, or before any format.
    EXPECT_FALSE(Playable(Wave(Chunk("fmt ", kFormat)) + "data" + Le32(401) + samples));
    EXPECT_FALSE(Playable(Wave(Chunk("data", samples) + Chunk("fmt ", kFormat))));
    // Formats the sound effect cannot play, and a second format.
    std::string compressed = kFormat;
    compressed[0] = 0x31;
    EXPECT_FALSE(Playable(Wave(Chunk("fmt ", compressed) + Chunk("data", samples))));
    std::string no_channels = kFormat;
    no_channels[2] = 0;
    EXPECT_FALSE(Playable(Wave(Chunk("fmt ", no_channels) + Chunk("data", samples))));
    EXPECT_FALSE(Playable(Wave(Chunk("fmt ", kFormat.substr(0, 14)) + Chunk("data", samples))));
    EXPECT_FALSE(
        Playable(Wave(Chunk("fmt ", kFormat) + Chunk("fmt ", kFormat) + Chunk("data", samples))));
    // Big-endian files, and files that are not wave files.
    EXPECT_FALSE(Playable("RIFX" + good.substr(4)));
    EXPECT_FALSE(Playable("RIFF" + Le32(4) + "AVI " + good.substr(12)));
    // Fewer bytes than the file claims to hold at its start.
    EXPECT_FALSE(RingSoundPlayable(good, good.size() - 1));
}

}  // namespace
}  // namespace quorell
