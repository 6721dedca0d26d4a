// Voice logic over the in-memory link: what goes on the wire, what is played, what the peer is
// told, with the fake sound devices and no sockets.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "audio/codec_table.h"
#include "audio/voice_controller.h"
#include "common/errors.h"
#include "support/fake_audio.h"
#include "support/memory_voice_link.h"
#include "support/voice_fakes.h"

namespace quorell::test {
namespace {

const std::string kListening = "[系统消息]：对方接收了语音。";
const std::string kNotListening = "[系统消息]：对方取消了接收语音。";

// One side: its window, its wire, its devices and its voice.
struct Side {
    Side() {
        window.address = " 127.0.0.2 ";
        window.local_port = " 4321";
        output.play_at_once = true;
        wave_in.OnData = [this](const char* data, int size) {
            recorded.append(data, static_cast<std::size_t>(size));
            voice.OnRecorded(data, size);
        };
    }

    FakeVoiceWindow window;
    RecordingControlLink control;
    MemoryVoiceLink wire;
    FakeToneInput input;
    FakeRecordingOutput output;
    TACMWaveIn wave_in{&input, [](const std::string&) {}};
    TACMWaveOut wave_out{&output, [](const std::string&) {}};
    TACMDialog chooser;
    VoiceController voice{window, wire, control, wave_in, wave_out, chooser, "Edit5"};
    std::string recorded;  // every byte the capture handed over
};

TEST(VoiceControllerMemoryTest, EveryFormatsSecondsGoOutAsWholeBlocksWithinTheCap) {
    for (const CodecRow& row : CodecTable()) {
        std::vector<WaveFormat> formats;
        row.formats(formats);
        for (const WaveFormat& format : formats) {
            for (const std::size_t cap : {std::size_t{8192}, std::size_t{1000}}) {
                if (format.nBlockAlign > cap) continue;
                SCOPED_TRACE(Describe(format) + ", cap " + std::to_string(cap));
                Side side;
                side.wire.max_block = cap;
                side.window.answers = {format};
                side.voice.SendButton();
                ASSERT_TRUE(side.voice.Sending());
                side.input.Produce(static_cast<int>(format.nSamplesPerSec) * 2);
                ASSERT_FALSE(side.recorded.empty());
                std::string joined;
                for (const auto& datagram : side.wire.sent) {
                    ASSERT_LE(datagram.bytes.size(), cap);
                    ASSERT_EQ(datagram.bytes.size() % format.nBlockAlign, 0u);
                    ASSERT_EQ(datagram.host, " 127.0.0.2 ");  // the address as typed
                    ASSERT_EQ(datagram.port, 4321);
                    joined += datagram.bytes;
                }
                EXPECT_EQ(joined, side.recorded);
            }
        }
    }
}

TEST(VoiceControllerMemoryTest, SendingAnnouncesItsPortAndStopsAtCancel) {
    Side side;
    side.window.answers = {Gsm610Format()};
    side.voice.SendButton();
    EXPECT_EQ(side.control.lines,
              (std::vector<std::string>{"[系统消息]：对方向你发送了语音，现在你可以接收语音了。",
                                        "system3:4321"}));
    EXPECT_TRUE(side.wire.sending_open);
    EXPECT_EQ(side.wire.open_host, "127.0.0.2");
    EXPECT_EQ(side.wire.open_port, 4321);
    EXPECT_EQ(side.window.send_caption, QStringLiteral("取消语音"));

    side.voice.SendButton();
    EXPECT_FALSE(side.wire.sending_open);
    EXPECT_EQ(side.control.lines.back(), "[系统消息]：对方关闭了发送给你的语音。");
    EXPECT_EQ(side.window.send_caption, QStringLiteral("发送语音"));
    side.input.Produce(16000);
    EXPECT_FALSE(side.recorded.empty());  // the capture goes on
    EXPECT_TRUE(side.wire.sent.empty());

    // The port line does not reach the peer: not sending, nothing goes out.
    side.control.reachable = false;
    side.voice.SendButton();
    EXPECT_FALSE(side.voice.Sending());
    EXPECT_EQ(side.window.send_caption, QStringLiteral("发送语音"));
    side.input.Produce(8000);
    EXPECT_TRUE(side.wire.sent.empty());
}

TEST(VoiceControllerMemoryTest, ReceivingListensWhereThePeerSaidAndPlaysUntilCancelled) {
    Side side;
    side.window.answers = {PcmFormat(8000, 16, 1)};
    // Before the peer has told its port, the port cannot be read.
    try {
        side.voice.ReceiveButton();
        ADD_FAILURE() << "no port, yet receiving started";
    } catch (const Error& e) {
        EXPECT_STREQ(e.what(), "'Edit5' is not a valid integer value");
    }
    EXPECT_TRUE(side.control.lines.empty());

    side.voice.PeerToldVoicePort("5555");
    EXPECT_EQ(side.window.shown_peer_port, "5555");
    side.voice.ReceiveButton();
    EXPECT_TRUE(side.wire.receiving);
    EXPECT_EQ(side.wire.receive_port, 5555);
    EXPECT_EQ(side.control.lines, std::vector<std::string>{kListening});
    EXPECT_EQ(side.window.receive_caption, QStringLiteral("取消接收"));
    side.input.Produce(16000);  // receiving records too, but sends nothing
    EXPECT_FALSE(side.recorded.empty());
    EXPECT_TRUE(side.wire.sent.empty());

    const std::vector<std::int16_t> samples{1, -2, 3, -4};
    ASSERT_TRUE(side.wire.Deliver(std::string(reinterpret_cast<const char*>(samples.data()), 8)));
    EXPECT_EQ(side.output.AllSamples(), samples);

    side.voice.ReceiveButton();
    EXPECT_FALSE(side.wire.receiving);
    EXPECT_EQ(side.control.lines.back(), kNotListening);
    EXPECT_EQ(side.window.receive_caption, QStringLiteral("接收语音"));
    EXPECT_FALSE(side.wire.Deliver("late"));
    EXPECT_EQ(side.output.AllSamples(), samples);

    // A port that cannot be had: the failure is the caller's, and nothing changes.
    side.wire.bind_failure = "Could not bind socket. Address and port are already in use.";
    EXPECT_THROW(side.voice.ReceiveButton(), Error);
    EXPECT_FALSE(side.voice.Receiving());
    EXPECT_EQ(side.control.lines.back(), kNotListening);
    side.wire.bind_failure.reset();
    side.voice.ReceiveButton();  // again on the same port, without the chooser
    EXPECT_EQ(side.wire.receive_port, 5555);
    EXPECT_EQ(side.window.choices, 1);
}

TEST(VoiceControllerMemoryTest, ABlockThatCannotGoOutShowsTheVoiceTypeBoxAndRecordingGoesOn) {
    Side side;
    side.window.answers = {Gsm610Format()};
    side.voice.SendButton();
    side.wire.send_failure = "Package Size Too Big.";
    side.input.Produce(16000);  // two seconds, two failing blocks
    EXPECT_EQ(side.window.boxes, 2);
    EXPECT_TRUE(side.wire.sent.empty());
    side.wire.send_failure.reset();
    side.input.Produce(8000);
    ASSERT_EQ(side.wire.sent.size(), 1u);
    EXPECT_EQ(side.wire.sent[0].bytes.size(), 1625u);
}

}  // namespace
}  // namespace quorell::test
