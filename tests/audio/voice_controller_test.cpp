// Voice over the real datagram link, against a fake window, the fake sound devices and a raw
// datagram peer on loopback.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "audio/voice_controller.h"
#include "common/ui_bridge.h"
#include "links/plain_voice_link.h"
#include "support/fake_audio.h"
#include "support/raw_udp.h"
#include "support/voice_fakes.h"
#include "support/wait.h"

namespace quorell::test {
namespace {

class VoiceControllerTest : public ::testing::Test {
protected:
    VoiceControllerTest() {
        receiver.Bridge = bridge;
        receiver.BindAddress = "127.0.0.1";
        receiver.OnUDPRead = [this](net::UdpServer&, std::string_view data, net::UdpBinding&) {
            spec_link.Received(data);
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
    PlainVoiceLink spec_link{sender, receiver};
    RecordingControlLink control;
    VoiceController voice{window, spec_link, control, wave_in, wave_out, chooser};
};

TEST_F(VoiceControllerTest, SendingStartsOnceChosenStopsAtCancelAndResumesWithoutTheChooser) {
    voice.SendButton();  // chooser cancelled: nothing happens, nothing is told
    EXPECT_EQ(window.send_caption, QStringLiteral("发送语音"));
    EXPECT_TRUE(control.lines.empty());
    EXPECT_EQ(input.opens, 0);

    window.answers.push_back(Gsm610Format());
    voice.SendButton();
    EXPECT_EQ(window.choices, 2);
    EXPECT_EQ(window.send_caption, QStringLiteral("取消语音"));
    ASSERT_EQ(control.lines.size(), 2u);
    EXPECT_EQ(control.lines[1], "system3:" + window.local_port);
    EXPECT_EQ(input.opens, 1);
    EXPECT_EQ(output.opens, 1);

    const std::string second(1625, 'g');
    voice.OnRecorded(second.data(), 1625);
    auto got = peer.Receive();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->bytes, second);

    voice.SendButton();  // cancel: recorded blocks are no longer sent
    EXPECT_EQ(window.send_caption, QStringLiteral("发送语音"));
    voice.OnRecorded(second.data(), 1625);
    EXPECT_FALSE(peer.Receive(std::chrono::milliseconds(100)));
    voice.SendButton();  // again: no chooser, no reopening
    EXPECT_EQ(window.choices, 2);
    EXPECT_EQ(input.opens, 1);

    // Unreachable peer at a start: the caption stays.
    control.reachable = false;
    voice.SendButton();
    voice.SendButton();
    EXPECT_EQ(window.send_caption, QStringLiteral("发送语音"));
}

TEST_F(VoiceControllerTest, LongSecondsGoOutWholeInBlockAlignedDatagramsAndFailuresAreBoxed) {
    window.answers.push_back(PcmFormat(22050, 16, 1));  // 44100 bytes a second
    voice.SendButton();
    std::string second(44100, '\0');
    for (std::size_t i = 0; i < second.size(); ++i) second[i] = static_cast<char>(i * 7);
    voice.OnRecorded(second.data(), static_cast<int>(second.size()));
    std::string joined;
    std::vector<std::size_t> sizes;
    while (auto got = peer.Receive(std::chrono::milliseconds(500))) {
        sizes.push_back(got->bytes.size());
        joined += got->bytes;
    }
    EXPECT_EQ(sizes, (std::vector<std::size_t>{8192, 8192, 8192, 8192, 8192, 3140}));
    EXPECT_EQ(joined, second);

    window.address = "";  // a host that cannot be resolved: one box per failing block
    voice.OnRecorded(second.data(), 100);
    voice.OnRecorded(second.data(), 100);
    EXPECT_EQ(window.boxes, 2);
}

TEST_F(VoiceControllerTest, ReceivingBindsThePeersPortAndPlaysEveryDatagram) {
    int port = 0;
    {
        RawUdp probe("127.0.0.1");  // a free port, let go again for the receiver
        port = probe.port();
    }
    voice.PeerToldVoicePort(" " + std::to_string(port) + " ");
    window.answers.push_back(PcmFormat(8000, 16, 1));
    voice.ReceiveButton();
    ASSERT_TRUE(receiver.Active());
    EXPECT_EQ(receiver.LocalPort(), port);
    EXPECT_EQ(window.receive_caption, QStringLiteral("取消接收"));
    EXPECT_EQ(control.lines.back(), "[系统消息]：对方接收了语音。");

    const std::vector<std::int16_t> samples{1, -2, 3, -4};
    peer.SendTo("127.0.0.1", port, std::string(reinterpret_cast<const char*>(samples.data()), 8));
    ASSERT_TRUE(
        WaitUntil([&] { return !output.blocks.empty(); }, std::chrono::seconds(5), bridge.get()));
    EXPECT_EQ(output.AllSamples(), samples);

    voice.ReceiveButton();
    EXPECT_FALSE(receiver.Active());
    EXPECT_EQ(window.receive_caption, QStringLiteral("接收语音"));
}

}  // namespace
}  // namespace quorell::test
