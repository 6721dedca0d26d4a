// Calls through the sound server's devices (scripts/sound-server), on null sinks of the test's
// own: the voice played and recorded for real, and devices that vanish mid-call.
#include <gtest/gtest.h>

#include "call_pair.h"
#include "media/tsan_handoff.h"
#include "sound_server.h"

namespace quorell::media::test {
namespace {

constexpr std::size_t kWindow = 4800;  // 100 ms

std::vector<std::int16_t> Latest(Heard& heard, std::size_t count) {
    std::lock_guard lock(heard.mutex);
    const std::size_t n = std::min(count, heard.samples.size());
    return {heard.samples.end() - n, heard.samples.end()};
}

std::vector<std::string> Problems(Heard& heard) {
    std::lock_guard lock(heard.mutex);
    return heard.problems;
}

// a speaks into a microphone that is the monitor of `mic`, into which the test plays 600 Hz;
// b sends 1000 Hz.
CallConfig MicrophoneCall(const NullSink& mic) {
    CallConfig config;
    config.voice_source.kind = VoiceSource::Kind::kMicrophone;
    config.voice_source.device = mic.Monitor();
    return config;
}

class MediaCallSound : public testing::Test {
protected:
    void SetUp() override {
        if (!HaveSoundServer()) {
            GTEST_SKIP()
                << "PULSE_SERVER is unset: no sound server (eval \"$(scripts/sound-server)\")";
        }
        ASSERT_TRUE(mic_.Loaded()) << "pactl cannot load a null sink";
    }
    NullSink mic_{"mic"};
};

// The peer's tone plays on a's speaker, the tone in a's microphone (through the echo canceller
// and noise suppression) reaches b; then the speaker fails: told once, a's voice still
// reaches b and b's pictures still reach a.
TEST_F(MediaCallSound, VoiceGoesThroughRealDevicesAndOutlivesTheSpeaker) {
#ifdef QUORELL_MEDIA_TSAN
    // The echo canceller runs far too slowly under it to play anything in time.
    GTEST_SKIP() << "real-time echo cancellation cannot keep pace under ThreadSanitizer";
#endif
    NullSink speaker("speaker");
    ASSERT_TRUE(speaker.Loaded());
    TonePlayer tone(mic_.Name(), 600);
    Recorder played(speaker.Monitor());
    CallConfig a = MicrophoneCall(mic_);
    a.voice_output.device = speaker.Name();
    // b's pictures to a share a's way in with b's voice: they show that it stays open.
    CallConfig b = ToneCall(1000);
    for (CallConfig* c : {&a, &b}) {
        c->video = true;
        c->video_width = 320;
        c->video_height = 240;
    }
    a.video_source.kind = VideoSource::Kind::kNone;
    b.video_source.kind = VideoSource::Kind::kPattern;
    CallPair pair(a, b);
    pair.Start();
    // A loaded machine (or a sanitizer) may take a while to play in time.
    ASSERT_TRUE(pair.PumpUntil(
        [&] {
            return ToneShare(Latest(pair.heard_b, kWindow), 600) > 0.7 &&
                   ToneShare(played.Latest(kWindow), 1000) > 0.7;
        },
        std::chrono::seconds(30)))
        << "600 Hz at b: " << ToneShare(Latest(pair.heard_b, kWindow), 600)
        << ", 1000 Hz on a's speaker: " << ToneShare(played.Latest(kWindow), 1000);
    EXPECT_GT(Rms(played.Latest(kWindow)), 4000);
    EXPECT_TRUE(Problems(pair.heard_a).empty());

    // Only the call plays to the speaker's sink; the recorder records its monitor.
    ASSERT_EQ(speaker.KillPlayers(), 1);
    speaker.Unload();
    ASSERT_TRUE(pair.PumpUntil([&] { return pair.heard_a.Problems() > 0; }));
    // A second more of a's voice reaches b, still the tone (which the noise suppression at
    // times holds down for a moment), and more of b's pictures reach a.
    const std::size_t samples = pair.heard_b.sample_count;
    const int frames = pair.heard_a.frames;
    EXPECT_TRUE(pair.PumpUntil(
        [&] {
            return pair.heard_b.sample_count - samples > 48000 &&
                   pair.heard_a.frames - frames > 5 &&
                   ToneShare(Latest(pair.heard_b, kWindow), 600) > 0.7;
        },
        std::chrono::seconds(30)))
        << "samples " << pair.heard_b.sample_count - samples << ", frames "
        << pair.heard_a.frames - frames;
    EXPECT_EQ(pair.a->State(), CallState::kConnected);
    EXPECT_EQ(pair.b->State(), CallState::kConnected);
    EXPECT_EQ(Problems(pair.heard_a),
              std::vector<std::string>{"扬声器已断开，通话继续，但你听不到对方的声音"});
    EXPECT_TRUE(Problems(pair.heard_b).empty());
}

// The microphone fails mid-call: told once, b gets silence instead, and b's voice still
// reaches a.
TEST_F(MediaCallSound, AVanishedMicrophoneIsToldOnceAndSilenceGoesOn) {
    TonePlayer tone(mic_.Name(), 600);
    CallPair pair(MicrophoneCall(mic_), ToneCall(1000));
    pair.Start();
    ASSERT_TRUE(pair.PumpUntil([&] {
        return ToneShare(Latest(pair.heard_b, kWindow), 600) > 0.7 &&
               ToneShare(Latest(pair.heard_a, kWindow), 1000) > 0.7;
    }));
    ASSERT_EQ(mic_.KillRecorders(), 1);
    mic_.Unload();
    ASSERT_TRUE(pair.PumpUntil([&] { return pair.heard_a.Problems() > 0; }));
    // What was on its way plays out; then silence keeps coming, a second of it, and b's tone
    // still reaches a.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const std::size_t before_b = pair.heard_b.sample_count;
    const std::size_t before_a = pair.heard_a.sample_count;
    EXPECT_TRUE(pair.PumpUntil(
        [&] {
            return pair.heard_b.sample_count - before_b > 48000 &&
                   pair.heard_a.sample_count - before_a > 48000;
        },
        std::chrono::seconds(30)));
    EXPECT_LT(Rms(Latest(pair.heard_b, kWindow)), 100);
    EXPECT_TRUE(
        pair.PumpUntil([&] { return ToneShare(Latest(pair.heard_a, kWindow), 1000) > 0.7; }));
    EXPECT_EQ(pair.a->State(), CallState::kConnected);
    EXPECT_EQ(Problems(pair.heard_a),
              std::vector<std::string>{"麦克风已断开，通话继续，但对方听不到你的声音"});
}

}  // namespace
}  // namespace quorell::media::test
