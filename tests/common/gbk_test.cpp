#include "common/gbk.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace quorell {
namespace {

std::string Bytes(std::initializer_list<unsigned> bytes) {
    std::string s;
    for (unsigned b : bytes) s.push_back(static_cast<char>(b));
    return s;
}

std::string Utf8(char32_t c) {
    std::string s;
    if (c < 0x80) {
        s.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        s.push_back(static_cast<char>(0xC0 | (c >> 6)));
        s.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        s.push_back(static_cast<char>(0xE0 | (c >> 12)));
        s.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        s.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        s.push_back(static_cast<char>(0xF0 | (c >> 18)));
        s.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        s.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        s.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
    return s;
}

// Strict UTF-8 check, written independently of the converter.
bool IsValidUtf8(const std::string& s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const auto b = static_cast<unsigned char>(s[i]);
        std::size_t len;
        char32_t c;
        if (b < 0x80) {
            len = 1;
            c = b;
        } else if ((b & 0xE0) == 0xC0) {
            len = 2;
            c = b & 0x1F;
        } else if ((b & 0xF0) == 0xE0) {
            len = 3;
            c = b & 0x0F;
        } else if ((b & 0xF8) == 0xF0) {
            len = 4;
            c = b & 0x07;
        } else {
            return false;
        }
        if (i + len > s.size()) return false;
        for (std::size_t k = 1; k < len; ++k) {
            const auto t = static_cast<unsigned char>(s[i + k]);
            if ((t & 0xC0) != 0x80) return false;
            c = (c << 6) | (t & 0x3F);
        }
        static constexpr char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
        if (c < kMin[len] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
        i += len;
    }
    return true;
}

const std::string kReplacement = "\xEF\xBF\xBD";

TEST(GbkEncode, SystemMessagePrefixIsTheTwelveKnownBytes) {
    EXPECT_EQ(Utf8ToGbk("[系统消息]："),
              Bytes({0x5B, 0xCF, 0xB5, 0xCD, 0xB3, 0xCF, 0xFB, 0xCF, 0xA2, 0x5D, 0xA3, 0xBA}));
}

TEST(GbkEncode, ChineseTextHasItsCodePageBytesAndRoundTrips) {
    EXPECT_EQ(Utf8ToGbk("中"), Bytes({0xD6, 0xD0}));
    EXPECT_EQ(Utf8ToGbk("对方"), Bytes({0xB6, 0xD4, 0xB7, 0xBD}));
    EXPECT_EQ(Utf8ToGbk("a中b"), Bytes({'a', 0xD6, 0xD0, 'b'}));
    for (const std::string text :
         {"无法到达对方，请确认IP地址是否正确", "文本太大，可能无法正常传输，请适当减少",
          "自己[2024-01-02 03:04:05]: 你好/@@世界", "丂@齄", ""}) {
        EXPECT_EQ(GbkToUtf8(Utf8ToGbk(text)), text) << text;
    }
}

TEST(GbkEncode, CodePage936SpecificForms) {
    // The euro is the single byte 0x80 in code page 936, both ways.
    EXPECT_EQ(Utf8ToGbk("€"), Bytes({0x80}));
    EXPECT_EQ(Utf8ToGbk("5€!"), Bytes({'5', 0x80, '!'}));
    EXPECT_EQ(GbkToUtf8(Bytes({0x80})), "€");
    EXPECT_EQ(GbkToUtf8(Bytes({'1', 0x80, 0x80, 0xD6, 0xD0})), "1€€中");
    // Middle dot and the two dashes as code page 936 maps them.
    EXPECT_EQ(Utf8ToGbk("\u00B7"), Bytes({0xA1, 0xA4}));
    EXPECT_EQ(Utf8ToGbk("\u2014"), Bytes({0xA1, 0xAA}));
    EXPECT_EQ(Utf8ToGbk("\u2015"), Bytes({0xA8, 0x44}));
    EXPECT_EQ(GbkToUtf8(Bytes({0xA1, 0xA4})), "\u00B7");
    EXPECT_EQ(GbkToUtf8(Bytes({0xA1, 0xAA})), "\u2014");
    EXPECT_EQ(GbkToUtf8(Bytes({0xA8, 0x44})), "\u2015");
    // Full-width space and the first user-defined code.
    EXPECT_EQ(Utf8ToGbk("\u3000"), Bytes({0xA1, 0xA1}));
    EXPECT_EQ(Utf8ToGbk("\uE000"), Bytes({0xAA, 0xA1}));
}

TEST(GbkEncode, CharactersOutsideCodePage936UseFourByteForms) {
    EXPECT_EQ(Utf8ToGbk("\u30FB"), Bytes({0x81, 0x39, 0xA7, 0x39}));
    EXPECT_EQ(Utf8ToGbk("\u00A5"), Bytes({0x81, 0x30, 0x84, 0x36}));
    EXPECT_EQ(Utf8ToGbk("😀"), Bytes({0x94, 0x39, 0xFC, 0x36}));
    EXPECT_EQ(Utf8ToGbk("\uFFFD"), Bytes({0x84, 0x31, 0xA4, 0x37}));
    EXPECT_EQ(GbkToUtf8(Bytes({0x94, 0x39, 0xFC, 0x36})), "😀");
    EXPECT_EQ(GbkToUtf8(Utf8ToGbk("😀 é ü 한국어 \u30FB")), "😀 é ü 한국어 \u30FB");
}

TEST(GbkEncode, CodesWhoseMeaningChangedBetweenEditionsStayDistinct) {
    // A6 D9 is the vertical comma; the private-use code point it once stood for gets the
    // four-byte form the standard moved it to.
    EXPECT_EQ(GbkToUtf8(Bytes({0xA6, 0xD9})), "\uFE10");
    EXPECT_EQ(Utf8ToGbk("\uFE10"), Bytes({0xA6, 0xD9}));
    EXPECT_EQ(Utf8ToGbk("\uE78D"), Bytes({0x84, 0x31, 0x82, 0x36}));
    EXPECT_EQ(GbkToUtf8(Bytes({0x84, 0x31, 0x82, 0x36})), "\uE78D");
    EXPECT_EQ(Utf8ToGbk("\uE81E"), Bytes({0x82, 0x35, 0x90, 0x37}));
    EXPECT_EQ(GbkToUtf8(Bytes({0xFE, 0x59})), "\u9FB4");
    // FE 51 keeps its private-use meaning; the ideograph has its own four-byte form.
    EXPECT_EQ(GbkToUtf8(Bytes({0xFE, 0x51})), "\uE816");
    EXPECT_EQ(Utf8ToGbk("\uE816"), Bytes({0xFE, 0x51}));
    EXPECT_EQ(Utf8ToGbk("\U00020087"), Bytes({0x95, 0x32, 0x90, 0x31}));
    EXPECT_EQ(GbkToUtf8(Bytes({0x95, 0x32, 0x90, 0x31})), "\U00020087");
}

TEST(GbkEncode, EveryScalarValueRoundTrips) {
    std::string all;
    for (char32_t c = 0; c <= 0x10FFFF; ++c) {
        if (c >= 0xD800 && c <= 0xDFFF) continue;
        all += Utf8(c);
    }
    const std::string encoded = Utf8ToGbk(all);
    // No byte of a multi-byte form is 0x3F, so the only '?' is U+003F itself: nothing was lost.
    EXPECT_EQ(std::count(encoded.begin(), encoded.end(), '?'), 1);
    EXPECT_TRUE(GbkToUtf8(encoded) == all);
}

TEST(GbkEncode, MalformedUtf8BecomesOneQuestionMarkPerBadByte) {
    EXPECT_EQ(Utf8ToGbk("a\xFF"
                        "b"),
              "a?b");
    EXPECT_EQ(Utf8ToGbk("\xE4\xB8"), "??");  // truncated 中
    EXPECT_EQ(Utf8ToGbk("\xE4\xB8\xAD\xE4"), Bytes({0xD6, 0xD0, '?'}));
    EXPECT_EQ(Utf8ToGbk("\xC0\xAF"), "??");            // overlong '/'
    EXPECT_EQ(Utf8ToGbk("\xED\xA0\x80"), "???");       // surrogate
    EXPECT_EQ(Utf8ToGbk("\xF4\x90\x80\x80"), "????");  // above U+10FFFF
    EXPECT_EQ(Utf8ToGbk("\x80中"), Bytes({'?', 0xD6, 0xD0}));
    EXPECT_EQ(Utf8ToGbk(std::string("a\0b", 3)), std::string("a\0b", 3));
}

TEST(GbkDecode, InvalidBytesBecomeReplacementAndDecodingResumes) {
    EXPECT_EQ(GbkToUtf8(Bytes({0xD6})), kReplacement);  // lead byte cut off at the end
    EXPECT_EQ(GbkToUtf8(Bytes({0xD6, 0xD0, 0xD6})), "中" + kReplacement);
    EXPECT_EQ(GbkToUtf8(Bytes({0xFF, 'a'})), kReplacement + "a");
    EXPECT_EQ(GbkToUtf8(Bytes({0x81, ' ', 'x'})), kReplacement + " x");  // bad trail byte
    EXPECT_EQ(GbkToUtf8(Bytes({0xD6, 0x0D, 0x0A})), kReplacement + "\r\n");
    // A four-byte form cut short: only its first byte is replaced, the rest is read again.
    EXPECT_EQ(GbkToUtf8(Bytes({0x81, 0x30, 0x81})), kReplacement + "0" + kReplacement);
    // A four-byte form beyond U+10FFFF.
    EXPECT_EQ(GbkToUtf8(Bytes({0xFE, 0x39, 0xFE, 0x39})), kReplacement + "9" + kReplacement + "9");
    EXPECT_EQ(GbkToUtf8(std::string("\0a\0", 3)), std::string("\0a\0", 3));
}

TEST(GbkDecode, RandomBytesDecodeToValidUtf8ThatRoundTrips) {
    std::mt19937 rng(20240601);
    std::uniform_int_distribution<int> length(0, 64);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<int> high(0x80, 0xFF);
    std::uniform_int_distribution<int> digit('0', '9');
    for (int round = 0; round < 20000; ++round) {
        std::string in;
        const int n = length(rng);
        for (int k = 0; k < n; ++k) {
            // Mix in the shapes of four-byte forms so that those paths see bad input too.
            switch (rng() % 3) {
                case 0:
                    in.push_back(static_cast<char>(byte(rng)));
                    break;
                case 1:
                    in.push_back(static_cast<char>(high(rng)));
                    break;
                default:
                    in.push_back(static_cast<char>(digit(rng)));
                    break;
            }
        }
        const std::string text = GbkToUtf8(in);
        ASSERT_TRUE(IsValidUtf8(text)) << round;
        // Whatever was decoded survives another trip through the wire form.
        ASSERT_EQ(GbkToUtf8(Utf8ToGbk(text)), text) << round;
    }
}

TEST(GbkDecode, LongRunsOfBadBytes) {
    const std::string bad(100000, '\xFF');
    const std::string text = GbkToUtf8(bad);
    EXPECT_EQ(text.size(), 3 * bad.size());
    EXPECT_EQ(text.substr(0, 3), kReplacement);
}

TEST(GbkThreads, ConcurrentConversionsAgree) {
    std::string text;
    for (int k = 0; k < 1000; ++k) text += "你好，world€😀\r\n";
    const std::string wire = Utf8ToGbk(text);
    std::vector<std::thread> threads;
    std::vector<int> failures(6, 0);
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&, t] {
            for (int k = 0; k < 50; ++k) {
                if (Utf8ToGbk(text) != wire || GbkToUtf8(wire) != text) ++failures[t];
            }
        });
    }
    for (auto& th : threads) th.join();
    for (int f : failures) EXPECT_EQ(f, 0);
}

}  // namespace
}  // namespace quorell
