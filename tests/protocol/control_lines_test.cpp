// How a received first line is taken, and the bytes each kind of line is sent as.

#include "protocol/control_lines.h"

#include <gtest/gtest.h>

#include <set>

#include "common/gbk.h"

namespace quorell::protocol {
namespace {

std::string Gbk(const char* utf8) {
    return Utf8ToGbk(utf8);
}

LineKind KindOf(const std::string& line) {
    return Parse(line).kind;
}

TEST(ParseTest, FirstLineClassification) {
    EXPECT_EQ(KindOf("system1:1"), LineKind::VideoPort);
    EXPECT_EQ(KindOf("system1"), LineKind::VideoPort);
    EXPECT_EQ(KindOf("System1:1"), LineKind::Chat);
    EXPECT_EQ(KindOf("system2"), LineKind::Address);
    EXPECT_EQ(KindOf("system3x"), LineKind::VoicePort);
    EXPECT_EQ(KindOf("syst"), LineKind::Chat);
    EXPECT_EQ(KindOf(Gbk("[系统消息]：对方取消了接收文件。")), LineKind::FileCancelled);
    EXPECT_EQ(KindOf(Gbk("[系统消息]：对方取消了接收文件。 ")), LineKind::Chat);
    EXPECT_EQ(KindOf(Gbk("[系统消息]：对方关闭了视频。")), LineKind::VideoClosed);
    EXPECT_EQ(KindOf(Gbk("[系统消息]：对方开始接收文件。")), LineKind::FileAccepted);
}

TEST(ParseTest, ParameterValues) {
    ControlLine line = Parse("system1:08090");
    EXPECT_TRUE(line.port_valid);
    EXPECT_EQ(line.video_port, 8090);
    // Every "system1:" goes, wherever it stands.
    line = Parse("system1:12system1:34");
    EXPECT_TRUE(line.port_valid);
    EXPECT_EQ(line.video_port, 1234);
    for (const char* bad : {"system1:", "system1:-", "system1:1 2", "system1:4294967296"}) {
        line = Parse(bad);
        EXPECT_EQ(line.kind, LineKind::VideoPort) << bad;
        EXPECT_FALSE(line.port_valid) << bad;
    }
    EXPECT_EQ(Parse("system3:\x01 77 \x1f").value, "77");
}

TEST(EncodeTest, BytesOnTheWire) {
    // Parameter prefixes are plain ASCII and nothing ends the line here.
    EXPECT_EQ(Encode(LineKind::VideoPort, " 12345\t"), "system1:12345");
    EXPECT_EQ(Encode(LineKind::Address, "192.168.0.7 "), "system2:192.168.0.7");
    EXPECT_EQ(Encode(LineKind::VoicePort, "4321"), "system3:4321");
    EXPECT_EQ(Encode(LineKind::Chat, "a\r\nb\nc"), "a/@@b\nc");
    // Every system message is GBK behind the same twelve bytes, and each is a text of its own.
    const std::string head = "\x5B\xCF\xB5\xCD\xB3\xCF\xFB\xCF\xA2\x5D\xA3\xBA";
    std::set<std::string> seen;
    for (int k = static_cast<int>(LineKind::Connected); k < static_cast<int>(LineKind::Chat); ++k) {
        const std::string bytes = Encode(static_cast<LineKind>(k));
        EXPECT_EQ(bytes.substr(0, head.size()), head) << k;
        EXPECT_EQ(bytes.find_first_of("\r\n"), std::string::npos) << k;
        EXPECT_TRUE(seen.insert(bytes).second) << k;
    }
    EXPECT_EQ(Encode(LineKind::VideoClosed), Gbk("[系统消息]：对方关闭了视频。"));
    EXPECT_EQ(Encode(LineKind::FileCompleted), Gbk("[系统消息]：恭喜恭喜，文件传送完毕！"));
}

TEST(EncodeTest, ParseTakesBackWhatEncodeGives) {
    for (int k = 0; k <= static_cast<int>(LineKind::Chat); ++k) {
        const auto kind = static_cast<LineKind>(k);
        EXPECT_EQ(Parse(Encode(kind, "8090")).kind, kind) << k;
    }
    const ControlLine video = Parse(Encode(LineKind::VideoPort, "8090"));
    EXPECT_TRUE(video.port_valid);
    EXPECT_EQ(video.video_port, 8090);
    EXPECT_EQ(Parse(Encode(LineKind::VoicePort, " 4321 ")).value, "4321");
    EXPECT_EQ(Parse(Encode(LineKind::Address, "10.0.0.1")).value, "10.0.0.1");
    EXPECT_EQ(Parse(Encode(LineKind::Chat, "one\r\ntwo")).value, "one\r\ntwo");
}

}  // namespace
}  // namespace quorell::protocol
