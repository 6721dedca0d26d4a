#include "common/text.h"

#include <gtest/gtest.h>

#include <string>

namespace quorell {
namespace {

using namespace std::string_literals;

TEST(Trimmed, RemovesControlBytesAndSpacesAtBothEnds) {
    EXPECT_EQ(Trimmed("  192.168.0.7 \r\n"), "192.168.0.7");
    EXPECT_EQ(Trimmed("\t\x01\x1F\x20x\x20\x0B"), "x");
    EXPECT_EQ(Trimmed("\0\0 10.0.0.1\0"s), "10.0.0.1");
    EXPECT_EQ(Trimmed("a \0 b"s), "a \0 b"s);  // inside bytes are kept
    EXPECT_EQ(Trimmed(""), "");
    EXPECT_EQ(Trimmed(" \r\n\0\t"s), "");
}

TEST(Trimmed, KeepsBytesAboveSpace) {
    EXPECT_EQ(Trimmed("!a!"), "!a!");
    EXPECT_EQ(Trimmed("\x7F"), "\x7F");
    // GBK text: the full-width space A1 A1 and lone high bytes are not blanks.
    EXPECT_EQ(Trimmed(" \xA1\xA1\xD6\xD0\xA1\xA1 "), "\xA1\xA1\xD6\xD0\xA1\xA1");
    EXPECT_EQ(Trimmed("\x80\xFF"), "\x80\xFF");
}

TEST(ReplaceAll, LineBreaksAndTheirWireForm) {
    EXPECT_EQ(ReplaceAll("a\r\nb", "\r\n", "/@@"), "a/@@b");
    EXPECT_EQ(ReplaceAll("\r\n\r\n", "\r\n", "/@@"), "/@@/@@");
    EXPECT_EQ(ReplaceAll("a\rb\nc\n\r", "\r\n", "/@@"), "a\rb\nc\n\r");  // only CR LF pairs
    EXPECT_EQ(ReplaceAll("/@@x/@@", "/@@", "\r\n"), "\r\nx\r\n");
    EXPECT_EQ(ReplaceAll("/@@@", "/@@", "\r\n"), "\r\n@");
    EXPECT_EQ(ReplaceAll("//@@", "/@@", "\r\n"), "/\r\n");
    EXPECT_EQ(ReplaceAll("/@/@", "/@@", "\r\n"), "/@/@");
    // A "/@@" the user typed comes back as a line break.
    const std::string sent = ReplaceAll("a/@@b\r\nc", "\r\n", "/@@");
    EXPECT_EQ(ReplaceAll(sent, "/@@", "\r\n"), "a\r\nb\r\nc");
    // GBK text whose trail bytes are '@' (丂 is 81 40) passes unchanged.
    const std::string gbk = "\x81\x40@\r\n\x81\x40";
    EXPECT_EQ(ReplaceAll(ReplaceAll(gbk, "\r\n", "/@@"), "/@@", "\r\n"), gbk);
}

TEST(ReplaceAll, ScansLeftToRightWithoutOverlapOrRescan) {
    EXPECT_EQ(ReplaceAll("aaa", "aa", "b"), "ba");
    EXPECT_EQ(ReplaceAll("aaaa", "aa", "b"), "bb");
    EXPECT_EQ(ReplaceAll("abab", "aba", "x"), "xb");
    EXPECT_EQ(ReplaceAll("a", "a", "aa"), "aa");  // the replacement is not searched again
    EXPECT_EQ(ReplaceAll("xyz", "y", ""), "xz");
    EXPECT_EQ(ReplaceAll("xyz", "", "q"), "xyz");
    EXPECT_EQ(ReplaceAll("", "a", "b"), "");
    EXPECT_EQ(ReplaceAll("a\0b"s, "\0"s, "-"), "a-b");
}

}  // namespace
}  // namespace quorell
