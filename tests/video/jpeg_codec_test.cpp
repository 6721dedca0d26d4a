#include "video/jpeg_codec.h"

#include <gtest/gtest.h>

#include <QBuffer>
#include <QColor>
#include <QImage>
#include <QPainter>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace quorell {
namespace {

// A moving-camera-like picture: smooth colour gradients with a few hard edges.
QImage Scene(int width, int height, int cell = 20) {
    QImage image(width, height, QImage::Format_RGB888);
    for (int y = 0; y < height; ++y) {
        uchar* row = image.scanLine(y);
        for (int x = 0; x < width; ++x) {
            row[3 * x] = static_cast<uchar>(x * 255 / width);
            row[3 * x + 1] = static_cast<uchar>(y * 255 / height);
            row[3 * x + 2] = static_cast<uchar>(((x / cell + y / cell) % 2) ? 200 : 40);
        }
    }
    return image;
}

// Every pixel random: nothing compresses it well.
QImage Noise(int width, int height, unsigned seed) {
    QImage image(width, height, QImage::Format_RGB888);
    std::mt19937 random(seed);
    for (int y = 0; y < height; ++y) {
        uchar* row = image.scanLine(y);
        for (int x = 0; x < 3 * width; ++x) row[x] = static_cast<uchar>(random());
    }
    return image;
}

// The marker segments before the scan data: marker code and the offset of its length field.
struct Segment {
    int marker;
    std::size_t at;
};

std::vector<Segment> Segments(const std::string& jpeg) {
    std::vector<Segment> found;
    std::size_t i = 2;
    while (i + 4 <= jpeg.size() && static_cast<uchar>(jpeg[i]) == 0xFF) {
        const int marker = static_cast<uchar>(jpeg[i + 1]);
        found.push_back({marker, i + 2});
        if (marker == 0xDA) break;
        i += 2 + (static_cast<uchar>(jpeg[i + 2]) << 8) + static_cast<uchar>(jpeg[i + 3]);
    }
    return found;
}

const Segment* Find(const std::vector<Segment>& segments, int marker) {
    for (const Segment& s : segments) {
        if (s.marker == marker) return &s;
    }
    return nullptr;
}

// The mean difference per colour channel.
double PixelError(const QImage& a, const QImage& b) {
    const QImage p = a.convertToFormat(QImage::Format_RGB888);
    const QImage q = b.convertToFormat(QImage::Format_RGB888);
    long sum = 0;
    for (int y = 0; y < p.height(); ++y) {
        for (int x = 0; x < 3 * p.width(); ++x)
            sum += std::abs(p.scanLine(y)[x] - q.scanLine(y)[x]);
    }
    return static_cast<double>(sum) / (3.0 * p.width() * p.height());
}

bool EndsWithEoi(const std::string& jpeg) {
    return jpeg.size() >= 2 && static_cast<uchar>(jpeg[jpeg.size() - 2]) == 0xFF &&
           static_cast<uchar>(jpeg.back()) == 0xD9;
}

TEST(JpegEncode, WritesBaselineJfifAtQualityFiftyThatRoundTrips) {
    const QImage picture = Scene(176, 144);
    const std::string jpeg = EncodeJpeg(picture.convertToFormat(QImage::Format_ARGB32));
    ASSERT_GT(jpeg.size(), 4u);
    EXPECT_EQ(static_cast<uchar>(jpeg[0]), 0xFF);
    EXPECT_EQ(static_cast<uchar>(jpeg[1]), 0xD8);
    EXPECT_TRUE(EndsWithEoi(jpeg));

    const auto segments = Segments(jpeg);
    const Segment* app0 = Find(segments, 0xE0);
    ASSERT_NE(app0, nullptr);
    EXPECT_EQ(jpeg.substr(app0->at + 2, 5), std::string("JFIF\0", 5));
    ASSERT_NE(Find(segments, 0xC0), nullptr);
    EXPECT_EQ(Find(segments, 0xC2), nullptr);
    EXPECT_EQ(static_cast<uchar>(jpeg[Find(segments, 0xC0)->at + 7]), 3);  // colour

    // At quality 50 the tables are the standard ones unscaled (stored in zigzag order).
    const std::vector<int> luma = {16, 11, 12, 14, 12, 10, 16, 14};
    const std::vector<int> chroma = {17, 18, 18, 24, 21, 24, 47, 26};
    int tables = 0;
    for (const Segment& s : segments) {
        if (s.marker != 0xDB) continue;
        const std::size_t end =
            s.at + (static_cast<uchar>(jpeg[s.at]) << 8) + static_cast<uchar>(jpeg[s.at + 1]);
        for (std::size_t t = s.at + 2; t + 65 <= end; t += 65, ++tables) {
            const int id = static_cast<uchar>(jpeg[t]);
            ASSERT_EQ(id >> 4, 0) << "8-bit entries";
            std::vector<int> first;
            for (int k = 0; k < 8; ++k) first.push_back(static_cast<uchar>(jpeg[t + 1 + k]));
            EXPECT_EQ(first, id == 0 ? luma : chroma) << "table " << id;
        }
    }
    EXPECT_EQ(tables, 2);

    QImage decoded;
    ASSERT_EQ(DecodeJpeg(jpeg, &decoded), DecodeResult::Decoded);
    EXPECT_EQ(decoded.size(), picture.size());
    EXPECT_EQ(decoded.format(), QImage::Format_RGB888);
    EXPECT_LT(PixelError(picture, decoded), 10);

    // An odd size and a padded stride (RGB888 lines are 4-byte aligned) encode correctly too.
    const QImage odd = Scene(37, 21);
    ASSERT_EQ(DecodeJpeg(EncodeJpeg(odd), &decoded), DecodeResult::Decoded);
    EXPECT_EQ(decoded.size(), odd.size());
    EXPECT_LT(PixelError(odd, decoded), 10);

    EXPECT_TRUE(EncodeJpeg(QImage()).empty());
}

TEST(JpegEncode, FramesForTheWireFitOneDatagram) {
    // An ordinary small frame goes out whole.
    const std::string small = EncodeFrameForWire(Scene(176, 144));
    EXPECT_LE(small.size(), kMaxVideoDatagram);
    EXPECT_EQ(small, EncodeJpeg(Scene(176, 144)));
    EXPECT_TRUE(EndsWithEoi(small));

    // Too big whole, but the half-size file fits: that one goes out, complete.
    const QImage detailed = Scene(640, 480, 40);
    ASSERT_GT(EncodeJpeg(detailed).size(), kMaxVideoDatagram);
    const std::string half = EncodeFrameForWire(detailed);
    EXPECT_LE(half.size(), kMaxVideoDatagram);
    EXPECT_TRUE(EndsWithEoi(half));
    QImage decoded;
    ASSERT_EQ(DecodeJpeg(half, &decoded), DecodeResult::Decoded);
    EXPECT_EQ(decoded.size(), QSize(320, 240));

    // Noise does not fit even at half size: its first 8192 bytes go, and still decode.
    const std::string cut = EncodeFrameForWire(Noise(640, 480, 1));
    EXPECT_EQ(cut.size(), kMaxVideoDatagram);
    EXPECT_FALSE(EndsWithEoi(cut));
    ASSERT_EQ(DecodeJpeg(cut, &decoded), DecodeResult::Decoded);
    EXPECT_EQ(decoded.size(), QSize(320, 240));
}

TEST(JpegDecode, AcceptsWholeAndCutFilesAndReusesThePicture) {
    const QImage picture = Scene(320, 240);
    const std::string jpeg = EncodeJpeg(Noise(320, 240, 2));
    ASSERT_GT(jpeg.size(), kMaxVideoDatagram);

    QImage out;
    ASSERT_EQ(DecodeJpeg(jpeg.substr(0, kMaxVideoDatagram), &out), DecodeResult::Decoded);
    EXPECT_EQ(out.size(), picture.size());
    const uchar* buffer = out.constBits();
    ASSERT_EQ(DecodeJpeg(EncodeJpeg(picture), &out), DecodeResult::Decoded);
    EXPECT_EQ(out.constBits(), buffer);
    EXPECT_LT(PixelError(picture, out), 10);

    // A picture shared with a copy is not written through the copy.
    const QImage kept = out;
    ASSERT_EQ(DecodeJpeg(jpeg, &out), DecodeResult::Decoded);
    EXPECT_LT(PixelError(picture, kept), 10);

    // A different size gets a new buffer.
    ASSERT_EQ(DecodeJpeg(EncodeJpeg(Scene(176, 144)), &out), DecodeResult::Decoded);
    EXPECT_EQ(out.size(), QSize(176, 144));

    // Grayscale files come out as 24-bit colour.
    QImage gray = Scene(64, 4).convertToFormat(QImage::Format_Grayscale8);
    QByteArray grayJpeg;
    QBuffer sink(&grayJpeg);
    ASSERT_TRUE(gray.save(&sink, "JPG"));
    const std::string grayBytes(grayJpeg.constData(), grayJpeg.size());
    ASSERT_EQ(static_cast<uchar>(grayBytes[Find(Segments(grayBytes), 0xC0)->at + 7]), 1);
    ASSERT_EQ(DecodeJpeg(grayBytes, &out), DecodeResult::Decoded);
    EXPECT_EQ(out.format(), QImage::Format_RGB888);
    EXPECT_EQ(out.size(), QSize(64, 4));
    EXPECT_LT(PixelError(gray.convertToFormat(QImage::Format_RGB888), out), 10);
}

TEST(JpegDecode, RefusesBadInputSafely) {
    const std::string jpeg = EncodeJpeg(Scene(176, 144));
    QImage out;
    ASSERT_EQ(DecodeJpeg(jpeg, &out), DecodeResult::Decoded);
    const QImage before = out.copy();

    EXPECT_EQ(DecodeJpeg("", &out), DecodeResult::BadData);
    EXPECT_EQ(DecodeJpeg("hello, this is no picture", &out), DecodeResult::BadHeader);
    std::string random(3000, '\0');
    std::mt19937 generator(3);
    for (char& c : random) c = static_cast<char>(generator());
    EXPECT_EQ(DecodeJpeg(random, &out), DecodeResult::BadHeader);
    EXPECT_EQ(DecodeJpeg(jpeg.substr(0, 40), &out), DecodeResult::BadHeader);  // in the header
    EXPECT_EQ(out, before);

    // A size bomb: the header claims far more than may be allocated.
    const std::size_t sof = Find(Segments(jpeg), 0xC0)->at;
    auto withSize = [&](int width, int height) {
        std::string patched = jpeg;
        patched[sof + 3] = static_cast<char>(height >> 8);
        patched[sof + 4] = static_cast<char>(height & 0xFF);
        patched[sof + 5] = static_cast<char>(width >> 8);
        patched[sof + 6] = static_cast<char>(width & 0xFF);
        return patched;
    };
    EXPECT_EQ(DecodeJpeg(withSize(65000, 65000), &out), DecodeResult::BadHeader);
    EXPECT_EQ(DecodeJpeg(withSize(kMaxDecodedWidth + 1, 16), &out), DecodeResult::BadHeader);
    EXPECT_EQ(DecodeJpeg(withSize(16, kMaxDecodedHeight + 1), &out), DecodeResult::BadHeader);
    EXPECT_EQ(out, before);
    ASSERT_EQ(DecodeJpeg(withSize(kMaxDecodedWidth, 16), &out), DecodeResult::Decoded);
    EXPECT_EQ(out.size(), QSize(kMaxDecodedWidth, 16));
    // Within both sides but more pixels than a full HD picture: a whole-area decode per
    // datagram that a stranger could repeat to freeze the window.
    const QImage strip = out.copy();
    EXPECT_EQ(DecodeJpeg(withSize(kMaxDecodedWidth, kMaxDecodedHeight), &out),
              DecodeResult::BadHeader);
    EXPECT_EQ(DecodeJpeg(withSize(1921, 1080), &out), DecodeResult::BadHeader);
    EXPECT_EQ(out, strip);
    ASSERT_EQ(DecodeJpeg(withSize(1920, 1080), &out), DecodeResult::Decoded);
    EXPECT_EQ(out.size(), QSize(1920, 1080));

    // Damage in the scan data, and every cut length: decoded or refused, never a crash.
    const std::size_t scan = Find(Segments(jpeg), 0xDA)->at + 12;
    for (int round = 0; round < 200; ++round) {
        std::string damaged = jpeg;
        for (int k = 0; k < 1 + round % 8; ++k) {
            damaged[scan + generator() % (jpeg.size() - scan)] = static_cast<char>(generator());
        }
        const DecodeResult result = DecodeJpeg(damaged, &out);
        EXPECT_NE(result, DecodeResult::BadHeader);
        if (result == DecodeResult::Decoded) {
            EXPECT_EQ(out.size(), QSize(176, 144));
        }
    }
    for (std::size_t length = 1; length < jpeg.size(); length += 37) {
        DecodeJpeg(jpeg.substr(0, length), &out);
    }
}

}  // namespace
}  // namespace quorell
