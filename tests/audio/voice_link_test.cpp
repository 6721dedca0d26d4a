// Voice against a fake window, the fake sound devices and a raw datagram peer on loopback.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "audio/voice_link.h"
#include "common/gbk.h"
#include "common/ui_bridge.h"
#include "support/fake_audio.h"
#include "support/raw_udp.h"
#include "support/wait.h"

namespace quorell::test {
namespace {

struct FakeVoiceWindow : IVoiceWindow {
    bool ChooseFormat(WaveFormat& format) override {
        ++choices;
        if (answers.empty()) return false;
        format = answers.front();
        answers.erase(answers.begin());
        return true;
    }
    std::string PeerAddressAsTyped() override { return address; }
    std::string LocalVoicePort() override { return local_port; }
    std::string PeerVoicePort() override { return peer_port; }
    // A desktop may put accelerator marks into what a button shows; the link never reads it.
    void SetSendVoiceCaption(const QString& caption) override { send_caption = caption; }
    void SetReceiveVoiceCaption(const QString& caption) override { receive_caption = caption; }
    bool SendControlLine(const std::string& line) override {
        lines.push_back(GbkToUtf8(line));
        return reachable;
    }
    void VoiceTypeBox() override { ++boxes; }

    std::vector<WaveFormat> answers;
    int choices = 0;
    std::string address = "127.0.0.1";
    std::string local_port, peer_port;
    QString send_caption = QStringLiteral("发送语音");
    QString receive_caption = QStringLiteral("接收语音");
    std::vector<std::string> lines;
    bool reachable = true;
    int boxes = 0;
};

class VoiceLinkTest : public ::testing::Test {
protected:
    VoiceLinkTest() {
        receiver.Bridge = bridge;
        receiver.BindAddress = "127.0.0.1";
        receiver.OnUDPRead = [this](net::UdpServer&, std::string_view data, net::UdpBinding&) {
            link.OnDatagram(data);
        };
        window.local_port = std::to_string(peer.port());
    }

    std::shared_ptr<UiBridge> bridge = std::make_shared<UiBridge>(nullptr);
    FakeVoiceWindow window;
    RawUdp peer{"127.0.0.1"};  // the other side's voice port
    FakeToneInput input;
    FakeRecordingOutput output;
    net::UdpClient sender;
    net::UdpServer receiver;
    TACMWaveIn wave_in{&input, [](const std::string&) {}};
    TACMWaveOut wave_out{&output, [](const std::string&) {}};
    TACMDialog chooser;
    VoiceLink link{window, sender, receiver, wave_in, wave_out, chooser};
};

TEST_F(VoiceLinkTest, SendingStartsOnceChosenStopsAtCancelAndResumesWithoutTheChooser) {
    link.SendButton();  // chooser cancelled: nothing happens, nothing is told
    EXPECT_EQ(window.send_caption, QStringLiteral("发送语音"));
    EXPECT_TRUE(window.lines.empty());
    EXPECT_EQ(input.opens, 0);

    window.answers.push_back(Gsm610Format());
    link.SendButton();
    EXPECT_EQ(window.choices, 2);
    EXPECT_EQ(window.send_caption, QStringLiteral("取消语音"));
    ASSERT_EQ(window.lines.size(), 2u);
    EXPECT_EQ(window.lines[1], "system3:" + window.local_port);
    EXPECT_EQ(input.opens, 1);
    EXPECT_EQ(output.opens, 1);

    const std::string second(1625, 'g');
    link.OnRecorded(second.data(), 1625);
    auto got = peer.Receive();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->bytes, second);

    link.SendButton();  // cancel: recorded blocks are no longer sent
    EXPECT_EQ(window.send_caption, QStringLiteral("发送语音"));
    link.OnRecorded(second.data(), 1625);
    EXPECT_FALSE(peer.Receive(std::chrono::milliseconds(100)));
    link.SendButton();  // again: no chooser, no reopening
    EXPECT_EQ(window.choices, 2);
    EXPECT_EQ(input.opens, 1);

    // Unreachable peer at a start: the caption stays.
    window.reachable = false;
    link.SendButton();
    link.SendButton();
    EXPECT_EQ(window.send_caption, QStringLiteral("发送语音"));
}

TEST_F(VoiceLinkTest, LongSecondsGoOutWholeInBlockAlignedDatagramsAndFailuresAreBoxed) {
    window.answers.push_back(PcmFormat(22050, 16, 1));  // 44100 bytes a second
    link.SendButton();
    std::string second(44100, '\0');
    for (std::size_t i = 0; i < second.size(); ++i) second[i] = static_cast<char>(i * 7);
    link.OnRecorded(second.data(), static_cast<int>(second.size()));
    std::string joined;
    std::vector<std::size_t> sizes;
    while (auto got = peer.Receive(std::chrono::milliseconds(500))) {
        sizes.push_back(got->bytes.size());
        joined += got->bytes;
    }
    EXPECT_EQ(sizes, (std::vector<std::size_t>{8192, 8192, 8192, 8192, 8192, 3140}));
    EXPECT_EQ(joined, second);

    window.address = "";  // a host that cannot be resolved: one box per failing block
    link.OnRecorded(second.data(), 100);
    link.OnRecorded(second.data(), 100);
    EXPECT_EQ(window.boxes, 2);
}

TEST_F(VoiceLinkTest, ReceivingBindsThePeersPortAndPlaysEveryDatagram) {
    int port = 0;
    {
        RawUdp probe("127.0.0.1");  // a free port, let go again for the receiver
        port = probe.port();
    }
    window.peer_port = " " + std::to_string(port) + " ";
    window.answers.push_back(PcmFormat(8000, 16, 1));
    link.ReceiveButton();
    ASSERT_TRUE(receiver.Active());
    EXPECT_EQ(receiver.LocalPort(), port);
    EXPECT_EQ(window.receive_caption, QStringLiteral("取消接收"));
    EXPECT_EQ(window.lines.back(), "[系统消息]：对方接收了语音。");

    const std::vector<std::int16_t> samples{1, -2, 3, -4};
    peer.SendTo("127.0.0.1", port, std::string(reinterpret_cast<const char*>(samples.data()), 8));
    ASSERT_TRUE(
        WaitUntil([&] { return !output.blocks.empty(); }, std::chrono::seconds(5), bridge.get()));
    EXPECT_EQ(output.AllSamples(), samples);

    link.ReceiveButton();
    EXPECT_FALSE(receiver.Active());
    EXPECT_EQ(window.receive_caption, QStringLiteral("接收语音"));
}

}  // namespace
}  // namespace quorell::test
