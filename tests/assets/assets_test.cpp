#include "assets/quorell_assets.h"

#include <QFile>
#include <QImage>
#include <QStringList>
#include <QXmlStreamReader>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

QByteArray ReadAll(const char* path) {
    QFile file(QString::fromLocal8Bit(path));
    if (!file.open(QIODevice::ReadOnly)) return {};
    return file.readAll();
}

uint32_t Le(const QByteArray& b, qsizetype at, int bytes) {
    uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(b[at + i]);
    return v;
}

struct Wav {
    uint32_t format = 0, channels = 0, rate = 0, byteRate = 0, blockAlign = 0, bits = 0;
    std::vector<int16_t> samples;
};

// Walks the RIFF chunks the way a tolerant player does; fails the test on any malformation.
Wav ParseWav(const QByteArray& b) {
    Wav wav;
    EXPECT_GE(b.size(), 44);
    if (b.size() < 12) return wav;
    EXPECT_EQ(b.left(4), "RIFF");
    EXPECT_EQ(b.mid(8, 4), "WAVE");
    EXPECT_EQ(Le(b, 4, 4), static_cast<uint32_t>(b.size() - 8)) << "RIFF size disagrees with file";
    bool haveFmt = false, haveData = false;
    for (qsizetype at = 12; at + 8 <= b.size();) {
        const QByteArray id = b.mid(at, 4);
        const qsizetype size = Le(b, at + 4, 4);
        const qsizetype body = at + 8;
        if (body + size > b.size()) {
            ADD_FAILURE() << "chunk " << id.constData() << " runs past the end of the file";
            break;
        }
        if (id == "fmt ") {
            EXPECT_GE(size, 16);
            wav.format = Le(b, body, 2);
            wav.channels = Le(b, body + 2, 2);
            wav.rate = Le(b, body + 4, 4);
            wav.byteRate = Le(b, body + 8, 4);
            wav.blockAlign = Le(b, body + 12, 2);
            wav.bits = Le(b, body + 14, 2);
            haveFmt = true;
        } else if (id == "data") {
            EXPECT_TRUE(haveFmt) << "data before fmt";
            EXPECT_EQ(size % 2, 0);
            for (qsizetype i = 0; i + 1 < size; i += 2)
                wav.samples.push_back(static_cast<int16_t>(Le(b, body + i, 2)));
            haveData = true;
        }
        at = body + size + (size & 1);
    }
    EXPECT_TRUE(haveFmt);
    EXPECT_TRUE(haveData);
    return wav;
}

TEST(RingSound, IsPlayablePcmOfChimeLength) {
    const QByteArray bytes = ReadAll(QUORELL_SOUND_WAV);
    ASSERT_FALSE(bytes.isEmpty()) << QUORELL_SOUND_WAV;
    const Wav wav = ParseWav(bytes);
    EXPECT_EQ(wav.format, 1u);
    EXPECT_EQ(wav.channels, 1u);
    EXPECT_EQ(wav.rate, 22050u);
    EXPECT_EQ(wav.bits, 16u);
    EXPECT_EQ(wav.blockAlign, 2u);
    EXPECT_EQ(wav.byteRate, 44100u);

    const double seconds = static_cast<double>(wav.samples.size()) / 22050;
    EXPECT_GT(seconds, 0.4);
    EXPECT_LT(seconds, 1.5);
    ASSERT_FALSE(wav.samples.empty());

    int peak = 0;
    for (int16_t s : wav.samples) peak = std::max(peak, std::abs(static_cast<int>(s)));
    EXPECT_GT(peak, 3000) << "too quiet to notice";
    EXPECT_LT(peak, 32000) << "clipped";
    // Starting or stopping away from zero is heard as a click.
    EXPECT_LT(std::abs(wav.samples.front()), 300);
    EXPECT_LT(std::abs(wav.samples.back()), 300);
}

TEST(RingSound, BuildTreeCopyMatchesCommittedFile) {
    const QByteArray committed = ReadAll(QUORELL_SOUND_WAV);
    const QByteArray built = ReadAll(QUORELL_BUILT_SOUND_WAV);
    ASSERT_FALSE(built.isEmpty()) << "missing " << QUORELL_BUILT_SOUND_WAV;
    EXPECT_TRUE(built == committed) << QUORELL_BUILT_SOUND_WAV << " is stale";
}

TEST(CompiledInPictures, LoadFromResources) {
    QuorellInitAssets();
    QuorellInitAssets();  // a second call must be harmless

    const QImage placeholder(":/assets/placeholder.png");
    ASSERT_FALSE(placeholder.isNull());
    EXPECT_EQ(placeholder.size(), QSize(200, 165));
    EXPECT_FALSE(placeholder.isGrayscale()) << "the idle picture should be in colour";

    const QImage icon(":/assets/quorell.png");
    ASSERT_FALSE(icon.isNull());
    EXPECT_EQ(icon.width(), icon.height());
    EXPECT_TRUE(icon.width() == 64 || icon.width() == 128) << icon.width();
    ASSERT_TRUE(icon.hasAlphaChannel());
    EXPECT_EQ(qAlpha(icon.pixel(0, 0)), 0) << "icon corners should be transparent";
    EXPECT_EQ(qAlpha(icon.pixel(icon.width() - 1, icon.height() - 1)), 0);
}

// The icon theme's files: one picture at every size, the same as the compiled-in one, and an
// SVG of it that a theme can load, named as the desktop entry says.
TEST(ThemeIcons, EverySizeAndTheScalableOneAreThere) {
    const QString dir = QStringLiteral(QUORELL_ASSETS_DIR);
    const QImage reference = QImage(dir + "/quorell.png").convertToFormat(QImage::Format_ARGB32);
    ASSERT_EQ(reference.size(), QSize(128, 128));
    for (const QString& size : QStringLiteral(QUORELL_ICON_SIZES).split(',')) {
        const QImage icon(dir + "/icons/quorell-" + size + ".png");
        ASSERT_FALSE(icon.isNull()) << size.toStdString();
        const int n = size.toInt();
        EXPECT_EQ(icon.size(), QSize(n, n));
        EXPECT_EQ(qAlpha(icon.pixel(0, 0)), 0) << size.toStdString();
        // Inside the front bubble, left of its dots: the same green as the 128 one.
        const QRgb want = reference.pixel(48, 90);
        const QRgb got = icon.pixel(n * 48 / 128, n * 90 / 128);
        EXPECT_LT(std::abs(qGreen(got) - qGreen(want)) + std::abs(qRed(got) - qRed(want)), 60)
            << size.toStdString();
    }

    QFile svg(dir + "/icons/quorell.svg");
    ASSERT_TRUE(svg.open(QIODevice::ReadOnly));
    QXmlStreamReader xml(&svg);
    QStringList elements;
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement) continue;
        elements << xml.name().toString();
        if (xml.name() == u"svg") {
            EXPECT_EQ(xml.attributes().value("viewBox"), u"0 0 128 128");
        }
    }
    EXPECT_FALSE(xml.hasError()) << xml.errorString().toStdString();
    EXPECT_EQ(elements.count("path"), 2);
    EXPECT_EQ(elements.count("circle"), 3);

    const QByteArray entry = ReadAll(QUORELL_ASSETS_DIR "/quorell.desktop");
    EXPECT_TRUE(entry.contains("\nIcon=quorell\n"));
    EXPECT_TRUE(entry.contains("\nStartupWMClass=quorell\n"));
}

}  // namespace
