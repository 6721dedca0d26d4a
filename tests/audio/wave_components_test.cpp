#include <gtest/gtest.h>

#include <QCoreApplication>
#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "audio/codec.h"
#include "audio/wave_in.h"
#include "audio/wave_out.h"
#include "support/fake_audio.h"
#include "support/wait.h"

namespace quorell {
namespace {

std::vector<std::int16_t> Ramp(std::size_t n, std::size_t from = 0) {
    std::vector<std::int16_t> r(n);
    for (std::size_t i = 0; i < n; ++i) r[i] = static_cast<std::int16_t>((from + i) & 0xFFFF);
    return r;
}

struct Capture {
    test::FakeToneInput device;
    std::vector<std::string> messages;
    std::vector<std::string> blocks;
    TACMWaveIn in{&device, [this](const std::string& m) { messages.push_back(m); }};
    Capture() {
        in.OnData = [this](const char* d, int n) { blocks.emplace_back(d, n); };
    }
    // Feeds the ramp in uneven portions, as a device would.
    void FeedRamp(std::size_t n, std::size_t portion = 333) {
        const std::vector<std::int16_t> ramp = Ramp(n);
        for (std::size_t i = 0; i < n; i += portion) {
            device.Feed(std::span(ramp).subspan(i, std::min(portion, n - i)));
        }
    }
};

TEST(WaveIn, BuffersAreOneSecondCutToWholeBlocks) {
    struct Case {
        WaveFormat format;
        std::size_t buffer, samples_per_buffer;
    };
    const WaveFormat ima = ImaAdpcmFormat(8000, 1);
    ASSERT_EQ(ima.nAvgBytesPerSec, 4055u);
    for (const Case& c : {Case{PcmFormat(8000, 8, 1), 8000, 8000},
                          Case{Gsm610Format(), 1625, 8000},  // 25 blocks of 320
                          Case{ima, 3840, 15 * 505}}) {      // 15 blocks of 256 bytes
        SCOPED_TRACE(Describe(c.format));
        Capture cap;
        cap.in.Open(&c.format);
        EXPECT_TRUE(cap.device.Opened());
        EXPECT_EQ(cap.device.opened_rate, 8000);
        EXPECT_EQ(cap.device.opened_channels, 1);
        EXPECT_EQ(cap.in.BufferLength(), c.buffer);
        cap.FeedRamp(2 * c.samples_per_buffer + 100);
        ASSERT_EQ(cap.blocks.size(), 2u);
        for (const auto& b : cap.blocks) EXPECT_EQ(b.size(), c.buffer);
        // Every buffer decodes to whole blocks: nothing is cut off at its end.
        auto codec = MakeCodec(c.format);
        std::vector<std::int16_t> pcm;
        codec->Decode(cap.blocks[0], pcm);
        EXPECT_EQ(pcm.size(), c.samples_per_buffer);
        EXPECT_TRUE(cap.messages.empty());
    }
}

TEST(WaveIn, BuffersKeepRecordingOrderWithNothingLostOrRepeated) {
    for (std::uint16_t channels : {1, 2}) {
        Capture cap;
        const WaveFormat pcm16 = PcmFormat(8000, 16, channels);
        cap.in.Open(&pcm16);
        const std::size_t per_buffer = pcm16.nAvgBytesPerSec / 2;
        cap.FeedRamp(3 * per_buffer + 7, 331);  // odd portions split frames across calls
        ASSERT_EQ(cap.blocks.size(), 3u);
        std::vector<std::int16_t> all;
        for (const auto& b : cap.blocks) {
            const std::size_t old = all.size();
            all.resize(old + b.size() / 2);
            std::memcpy(all.data() + old, b.data(), b.size());
        }
        EXPECT_EQ(all, Ramp(3 * per_buffer));
    }
}

TEST(WaveIn, OpenOnlyOnceAndNeverWithoutAFormat) {
    Capture cap;
    cap.in.Open(nullptr);
    EXPECT_FALSE(cap.in.IsOpen());
    EXPECT_EQ(cap.device.opens, 0);
    const WaveFormat gsm = Gsm610Format();
    const WaveFormat pcm = PcmFormat(16000, 16, 2);
    cap.in.Open(&gsm);
    cap.in.Open(&pcm);
    EXPECT_EQ(cap.device.opens, 1);
    EXPECT_EQ(cap.in.BufferLength(), 1625u);
    // Without a handler the audio is dropped; a handler assigned later gets what follows.
    cap.in.OnData = nullptr;
    cap.FeedRamp(8000);
    cap.in.OnData = [&](const char* d, int n) { cap.blocks.emplace_back(d, n); };
    cap.FeedRamp(8000);
    EXPECT_EQ(cap.blocks.size(), 1u);
}

TEST(WaveIn, FailedOpenIsReportedOnceAndCountsAsOpen) {
    const WaveFormat pcm = PcmFormat(8000, 8, 1);
    {
        Capture cap;
        cap.device.open_result = 5;
        cap.in.Open(&pcm);
        cap.in.Open(&pcm);
        EXPECT_EQ(cap.messages, std::vector<std::string>{"Problem creating record handle5"});
        EXPECT_EQ(cap.device.opens, 1);
        EXPECT_TRUE(cap.in.IsOpen());
        EXPECT_FALSE(cap.in.Recording());
    }
    {
        std::vector<std::string> messages;
        TACMWaveIn no_device(nullptr, [&](const std::string& m) { messages.push_back(m); });
        no_device.Open(&pcm);
        EXPECT_EQ(messages, std::vector<std::string>{"Problem creating record handle2"});
    }
    {
        Capture cap;
        WaveFormat odd = pcm;
        odd.wFormatTag = 0x55;  // MPEG layer 3: not one this program records
        cap.in.Open(&odd);
        EXPECT_EQ(cap.messages, std::vector<std::string>{"Problem creating record handle32"});
        EXPECT_EQ(cap.device.opens, 0);
    }
}

TEST(WaveIn, SlowOwnerKeepsOnlyTheNewestThreeBuffers) {
    Capture cap;
    const WaveFormat pcm16 = PcmFormat(8000, 16, 1);
    cap.in.Open(&pcm16);
    bool first = true;
    std::vector<std::int16_t> firsts;
    cap.in.OnData = [&](const char* d, int n) {
        std::int16_t v;
        std::memcpy(&v, d, sizeof v);
        firsts.push_back(v);
        EXPECT_EQ(n, 16000);
        // A modal box in the handler lets the device go on recording five more seconds.
        if (std::exchange(first, false)) cap.device.Feed(Ramp(5 * 8000, 8000));
    };
    cap.FeedRamp(8000);
    EXPECT_EQ(firsts, (std::vector<std::int16_t>{0, Ramp(1, 3 * 8000)[0], Ramp(1, 4 * 8000)[0],
                                                 Ramp(1, 5 * 8000)[0]}));
}

TEST(WaveIn, PacedToneArrivesThroughTheEventLoop) {
    Capture cap;
    cap.device.paced = true;
    cap.device.signal = test::FakeToneInput::Signal::kSine;
    const WaveFormat pcm = PcmFormat(8000, 8, 1);
    cap.in.Open(&pcm);
    ASSERT_TRUE(test::WaitUntil([&] { return !cap.blocks.empty(); }));
    EXPECT_EQ(cap.blocks[0].size(), 8000u);
}

TEST(WaveIn, DestroyedComponentIgnoresLaterRecording) {
    test::FakeToneInput first_device, second_device;
    const WaveFormat pcm = PcmFormat(8000, 8, 1);
    int heard = 0;
    std::optional<TACMWaveIn> in;
    in.emplace(&first_device, nullptr);
    in->Open(&pcm);
    // A second component in the same place: a report meant for the first one would reach it.
    in.emplace(&second_device, nullptr);
    in->OnData = [&](const char*, int) { ++heard; };
    in->Open(&pcm);
    first_device.Produce(20000);
    EXPECT_EQ(heard, 0);
    second_device.Produce(8000);
    EXPECT_EQ(heard, 1);
}

struct Playback {
    Playback() {
        out.SetClock([this] { return now; });
    }
    test::FakeRecordingOutput device;
    std::vector<std::string> messages;
    TACMWaveOut out{&device, [this](const std::string& m) { messages.push_back(m); }};
    std::chrono::steady_clock::time_point now{std::chrono::hours(1)};
    void Later() { now += TACMWaveOut::kRetryInterval; }
};

TEST(WaveOut, PlaysCopiesInOrderAndReleasesThemWhenPlayed) {
    Playback p;
    const std::vector<std::int16_t> ramp = Ramp(800);
    p.out.Play(reinterpret_cast<const char*>(ramp.data()), 400);  // before Open: dropped
    EXPECT_EQ(p.device.writes, 0);
    const WaveFormat pcm16 = PcmFormat(8000, 16, 1);
    const WaveFormat gsm = Gsm610Format();
    p.out.Open(nullptr);
    p.out.Open(&pcm16);
    p.out.Open(&gsm);
    EXPECT_EQ(p.device.opens, 1);

    std::vector<char> buffer(801);
    std::memcpy(buffer.data(), ramp.data(), 800);
    p.out.Play(buffer.data(), 800);
    std::fill(buffer.begin(), buffer.end(), 0x55);  // the caller reuses its buffer at once
    std::memcpy(buffer.data(), ramp.data() + 400, 800);
    p.out.Play(buffer.data(), 801);  // the odd byte is a partial sample: dropped
    EXPECT_EQ(p.out.QueuedBlocks(), 2u);
    EXPECT_EQ(p.device.AllSamples(), ramp);
    p.device.PlayAll();
    EXPECT_EQ(p.out.QueuedBlocks(), 0u);
    EXPECT_TRUE(p.messages.empty());

    p.device.play_at_once = true;  // reported before Write returns
    p.out.Play(buffer.data(), 800);
    EXPECT_EQ(p.out.QueuedBlocks(), 0u);
}

TEST(WaveOut, QueueHoldsTheBlockPlayingAndTheNextWhateverArrives) {
    Playback p;
    const WaveFormat pcm16 = PcmFormat(8000, 16, 1);
    p.out.Open(&pcm16);
    const std::string second(16000, '\x01');
    // A burst at start-up: the second block waits behind the first, a third is too much.
    for (int i = 0; i < 3; ++i) p.out.Play(second.data(), 16000);
    EXPECT_EQ(p.device.blocks.size(), 2u);
    EXPECT_EQ(p.out.DroppedBlocks(), 1u);
    // A device that plays a little slower than blocks arrive: the delay stays at one block.
    for (int i = 0; i < 50; ++i) {
        if (i % 10 != 9) p.device.PlayOldest();  // now and then a block comes early
        p.out.Play(second.data(), 16000);
        ASSERT_LE(p.out.QueuedFrames(), 2u * 8000) << i;
    }
    EXPECT_EQ(p.out.DroppedBlocks(), 1u + 5u);

    // A flood: a datagram of 8190 bytes of GSM is five seconds of audio. It plays when the
    // queue is empty; the rest is dropped, so the memory held stays the same.
    Playback flood;
    const WaveFormat gsm = Gsm610Format();
    flood.out.Open(&gsm);
    const std::string datagram(8190, '\x33');
    for (int i = 0; i < 1000; ++i) flood.out.Play(datagram.data(), 8190);
    EXPECT_EQ(flood.device.blocks.size(), 1u);
    EXPECT_EQ(flood.out.QueuedFrames(), 126u * 320);
    flood.device.PlayAll();
    flood.out.Play(datagram.data(), 8190);
    EXPECT_EQ(flood.device.blocks.size(), 2u);
    EXPECT_TRUE(flood.messages.empty());
}

TEST(WaveOut, ALostDeviceIsToldOnceAndPlaysAgainWhenItComesBack) {
    Playback p;
    const WaveFormat gsm = Gsm610Format();
    p.out.Open(&gsm);
    const std::string two_blocks(2 * 65 + 10, '\x11');
    const auto play = [&] { p.out.Play(two_blocks.data(), static_cast<int>(two_blocks.size())); };
    play();
    ASSERT_EQ(p.device.blocks.size(), 1u);
    EXPECT_EQ(p.device.blocks[0].size(), 640u);  // the partial third block is dropped

    p.device.Lose(5);
    play();
    for (int i = 0; i < 4; ++i) {
        p.Later();
        play();
    }
    EXPECT_EQ(p.messages, std::vector<std::string>{"WaveOutWrite error"});
    EXPECT_EQ(p.device.closes, 1);
    EXPECT_EQ(p.out.QueuedBlocks(), 0u);  // what the dead device held does not stay counted
    EXPECT_FALSE(p.out.Playing());
    EXPECT_EQ(p.device.opens, 1 + 4);  // tried again once an interval, silently

    // Back: the next block after the interval opens it again and plays.
    p.device.ComeBack();
    play();
    EXPECT_EQ(p.device.opens, 5);  // too soon
    p.Later();
    play();
    EXPECT_TRUE(p.out.Playing());
    EXPECT_EQ(p.device.blocks.size(), 2u);
    EXPECT_EQ(p.messages.size(), 1u);

    // Once it has played again, a new failure is a new fault, told again.
    p.device.PlayAll();
    p.device.Lose(7);
    play();
    EXPECT_EQ(p.messages.back(), "WaveOutWrite error");
    EXPECT_EQ(p.messages.size(), 2u);
}

TEST(WaveOut, FailedOpenIsReportedOnceAndTheDeviceIsTriedAgain) {
    const WaveFormat pcm = PcmFormat(8000, 8, 1);
    const char block[100] = {};
    {
        Playback p;
        p.device.open_result = 5;
        p.out.Open(&pcm);
        p.out.Play(block, sizeof block);
        EXPECT_EQ(p.messages, std::vector<std::string>{"Problem creating playing handle5"});
        EXPECT_EQ(p.device.opens, 1);
        EXPECT_EQ(p.device.writes, 0);
        EXPECT_TRUE(p.out.IsOpen());
        p.Later();
        p.out.Play(block, sizeof block);
        EXPECT_EQ(p.device.opens, 2);
        EXPECT_EQ(p.messages.size(), 1u);
        // The next start tries at once; the first format stays.
        p.device.open_result = 0;
        const WaveFormat stereo = PcmFormat(44100, 16, 2);
        p.out.Open(&stereo);
        EXPECT_EQ(p.device.opens, 3);
        EXPECT_EQ(p.device.opened_rate, 8000);
        p.out.Play(block, sizeof block);
        EXPECT_EQ(p.device.writes, 1);
        EXPECT_EQ(p.messages.size(), 1u);
    }
    {
        std::vector<std::string> messages;
        TACMWaveOut no_device(nullptr, [&](const std::string& m) { messages.push_back(m); });
        no_device.Open(&pcm);
        no_device.Play(block, sizeof block);
        no_device.Open(&pcm);
        EXPECT_EQ(messages, std::vector<std::string>{"Problem creating playing handle2"});
    }
}

TEST(WaveOut, DestroyingClosesTheDevice) {
    test::FakeRecordingOutput device;
    const WaveFormat pcm = PcmFormat(8000, 8, 1);
    {
        TACMWaveOut out(&device, nullptr);
        out.Open(&pcm);
    }
    EXPECT_EQ(device.closes, 1);
}

}  // namespace
}  // namespace quorell
