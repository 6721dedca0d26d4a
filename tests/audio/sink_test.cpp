#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QString>
#include <memory>
#include <string>
#include <vector>

#include "audio/acm_out.h"
#include "audio/stream_sink.h"
#include "support/fake_audio.h"
#include "support/raw_tcp.h"
#include "support/wait.h"

namespace quorell {
namespace {

using namespace std::chrono_literals;
using test::FakeRecordingOutput;
using test::WaitUntil;

std::int16_t Sample(unsigned char byte) {
    return static_cast<std::int16_t>((byte - 128) * 256);
}

// The window's side of the sink: the two components, the sink and its error boxes.
struct SinkWindow {
    SinkWindow() : out(&device), sink(out, convertor, [this](const QString& m) { errors << m; }) {
        sink.Start("127.0.0.1", 0);
    }
    test::ClientSocket Connect() { return test::ConnectLoopback(sink.Port(), 5s); }
    std::size_t Played() const { return device.AllSamples().size(); }

    FakeRecordingOutput device;
    TACMOut out;
    TACMConvertor convertor;
    QStringList errors;
    StreamAudioSink sink;
};

TEST(StreamAudioSink, PlaysEachClientsBytesAsEightBitMonoPcm) {
    SinkWindow w;
    std::string second(8000, '\0');
    for (std::size_t i = 0; i < second.size(); ++i) second[i] = static_cast<char>(i * 7);
    {
        test::ClientSocket client = w.Connect();
        ASSERT_TRUE(client.SendAll(second));
        ASSERT_TRUE(WaitUntil([&] { return w.Played() == 8000; }));
    }
    EXPECT_EQ(w.device.opens, 1);
    EXPECT_EQ(w.device.opened_rate, 8000);
    EXPECT_EQ(w.device.opened_channels, 1);
    const std::vector<std::int16_t> samples = w.device.AllSamples();
    for (std::size_t i = 0; i < samples.size(); ++i)
        ASSERT_EQ(samples[i], Sample(static_cast<unsigned char>(second[i]))) << i;

    // The client has gone; the device stays open for the next one.
    ASSERT_TRUE(WaitUntil([&] { return w.sink.ClientCount() == 0; }));
    EXPECT_TRUE(w.out.IsOpen());
    EXPECT_EQ(w.device.closes, 0);
    test::ClientSocket next = w.Connect();
    ASSERT_TRUE(next.SendAll(std::string(100, '\x80')));
    ASSERT_TRUE(WaitUntil([&] { return w.Played() == 8100; }));
    EXPECT_EQ(w.device.opens, 1);
    EXPECT_TRUE(w.errors.isEmpty());
}

TEST(StreamAudioSink, PlaysTwoClientsAtOnce) {
    SinkWindow w;
    test::ClientSocket a = w.Connect();
    test::ClientSocket b = w.Connect();
    for (int round = 0; round < 4; ++round) {
        ASSERT_TRUE(a.SendAll(std::string(1000, '\x10')));
        ASSERT_TRUE(b.SendAll(std::string(1000, '\xF0')));
    }
    ASSERT_TRUE(WaitUntil([&] { return w.Played() == 8000; }));
    const std::vector<std::int16_t> samples = w.device.AllSamples();
    EXPECT_EQ(std::count(samples.begin(), samples.end(), Sample(0x10)), 4000);
    EXPECT_EQ(std::count(samples.begin(), samples.end(), Sample(0xF0)), 4000);
}

TEST(StreamAudioSink, ReportsAFailedOpenAndTriesAgainOnTheNextRead) {
    SinkWindow w;
    w.device.open_result = 2;
    test::ClientSocket client = w.Connect();
    ASSERT_TRUE(client.SendAll("lost"));
    ASSERT_TRUE(WaitUntil([&] { return !w.errors.isEmpty(); }));
    EXPECT_EQ(w.errors, QStringList{"WaveOutOpen The specified resource does not exist."});
    EXPECT_FALSE(w.out.IsOpen());

    w.device.open_result = 0;
    ASSERT_TRUE(client.SendAll("heard"));
    ASSERT_TRUE(WaitUntil([&] { return w.Played() == 5; }));
    EXPECT_EQ(w.device.opens, 2);
    EXPECT_EQ(w.errors.size(), 1);
    EXPECT_EQ(w.sink.ClientCount(), 1);  // the connection went on
}

TEST(StreamAudioSink, PlaysEveryByteInOrderTakingNoMoreWhileTenSecondsAreQueued) {
    SinkWindow w;
    std::string flood(100000, '\0');
    for (std::size_t i = 0; i < flood.size(); ++i) flood[i] = static_cast<char>(i * 7 % 0x80);
    const std::string marker(1000, '\xF0');
    {
        test::ClientSocket client = w.Connect();
        ASSERT_TRUE(client.SendAll(flood));
        ASSERT_TRUE(WaitUntil([&] { return w.Played() >= 80000; }));
        // Ten seconds queued and nothing played yet: the rest waits in the connection, and so
        // does all of a second client that closes at once.
        test::ClientSocket second = w.Connect();
        ASSERT_TRUE(second.SendAll(marker));
        second.FinishSending();
        test::Settle(200ms);
        EXPECT_EQ(w.Played(), 80000u);
        EXPECT_EQ(w.out.QueuedFrames(), 80000u);
    }  // the client goes before the rest of what it sent has been taken

    // As the device plays, the rest comes in; the connections are let go once it has.
    ASSERT_TRUE(WaitUntil([&] {
        w.device.PlayOldest();
        EXPECT_LE(w.out.QueuedFrames(), 80000u);
        return w.Played() == flood.size() + marker.size();
    }));
    ASSERT_TRUE(WaitUntil([&] { return w.sink.ClientCount() == 0; }));
    std::string flood_heard;
    std::size_t marker_heard = 0;
    for (std::int16_t sample : w.device.AllSamples()) {
        if (sample == Sample(0xF0)) {
            ++marker_heard;
        } else {
            flood_heard.push_back(static_cast<char>(sample / 256 + 128));
        }
    }
    EXPECT_EQ(marker_heard, marker.size());
    EXPECT_TRUE(flood_heard == flood) << "the flood is not heard whole and in order";

    // The next client is heard after all of it.
    w.device.PlayAll();
    test::ClientSocket next = w.Connect();
    ASSERT_TRUE(next.SendAll(std::string(8, '\x90')));
    ASSERT_TRUE(WaitUntil([&] { return w.Played() == 101008; }));
    EXPECT_TRUE(w.errors.isEmpty());
}

TEST(StreamAudioSink, ReportsAPortInUseFromStart) {
    SinkWindow w;
    TACMOut out(nullptr);
    TACMConvertor convertor;
    StreamAudioSink second(out, convertor, nullptr);
    try {
        second.Start("127.0.0.1", w.sink.Port());
        FAIL() << "bound a port in use";
    } catch (const Error& e) {
        EXPECT_STREQ(e.what(),
                     "Windows socket error: Address already in use. (10048), on API 'bind'");
    }
}

TEST(ACMOut, RaisesTheWaveOutTextsAndReportsEachPlayedBlock) {
    FakeRecordingOutput device;
    TACMOut out(&device);
    try {
        out.Open(WaveFormat{});
        FAIL() << "opened an unknown format";
    } catch (const EACMOut& e) {
        EXPECT_STREQ(e.what(), "WaveOutOpen Unsupported audio format.");
    }
    device.open_result = 99;
    try {
        out.Open(PcmFormat(8000, 8, 1));
        FAIL() << "a failed open went unreported";
    } catch (const EACMOut& e) {
        EXPECT_STREQ(e.what(), "WaveOutOpen raised an unknown error (code #99)");
    }
    EXPECT_FALSE(out.IsOpen());

    device.open_result = 0;
    out.Open(PcmFormat(8000, 8, 1));
    std::vector<std::uint64_t> played;
    out.OnBufferPlayed = [&](TACMOut& sender, std::uint64_t id) {
        EXPECT_EQ(&sender, &out);
        played.push_back(id);
    };
    out.Play("abcd", 4);
    out.Play("ef", 2);
    out.Play("", 0);
    EXPECT_EQ(out.QueuedFrames(), 6u);
    device.PlayAll();
    EXPECT_EQ(played, (std::vector<std::uint64_t>{1, 2}));
    EXPECT_EQ(out.QueuedFrames(), 0u);

    device.play_at_once = true;  // reported played inside Write
    out.Play("gh", 2);
    EXPECT_EQ(played.size(), 3u);
    EXPECT_EQ(out.QueuedFrames(), 0u);

    device.write_result = 7;
    try {
        out.Play("x", 1);
        FAIL() << "a failed write went unreported";
    } catch (const EACMOut& e) {
        EXPECT_STREQ(e.what(), "WaveOut-Write The system is unable to allocate resources.");
    }
    out.Close();
    EXPECT_EQ(device.closes, 1);
    out.Close();
    EXPECT_EQ(device.closes, 1);
}

TEST(ACMConvertor, HoldsTheSinkFormatAndRefusesNothingWhileIdle) {
    TACMConvertor convertor;
    EXPECT_EQ(convertor.InputFormat, PcmFormat(8000, 8, 1));
    EXPECT_EQ(convertor.InputFormat.nAvgBytesPerSec, 8000u);
    EXPECT_EQ(convertor.OutputFormat, convertor.InputFormat);
    EXPECT_EQ(convertor.InputBufferSize(), 2048u);
    convertor.SetInputBufferSize(4096);
    EXPECT_EQ(convertor.InputBufferSize(), 4096u);
}

}  // namespace
}  // namespace quorell
