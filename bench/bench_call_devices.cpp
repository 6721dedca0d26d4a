// A call's voice through the sound server's devices: null sinks of the private sound server
// stand for each side's microphone and speaker (a sink's monitor is the source recorded).
//
// 1. Mouth to ear: tone bursts played into A's microphone sink until B's speaker plays them,
//    through two media::Call (A's microphone through its echo canceller, as in the program)
//    and through a bare GStreamer RTP Opus pair with the same devices and settings.
// 2. Echo: A's speaker fed straight back into A's microphone; B sends tone bursts and the level
//    of the tone that comes back to B's speaker is compared to the level B's tone reaches A
//    with, with A's echo cancellation and without it.
#include <gst/app/gstappsrc.h>

#include "bench_call_support.h"
#include "media/call_pipeline.h"

namespace {

using namespace quorell::bench;
using quorell::media::CallConfig;
using quorell::media::VoiceSamples;
using quorell::media::VoiceSource;

constexpr double kToneHz = 1000;
constexpr int kLoud = 2000;  // the tone's peaks are near 16000; silence is 0
// A playback stream into a null sink plays nothing for its first seconds here (the sound
// server settling its latency): nothing is measured before this.
constexpr int kSettleMs = 4000;

// Bursts into a microphone's sink: a sine muted and unmuted. A microphone always delivers,
// so every microphone sink is played into, silence included: the monitor of a null sink nobody
// plays into comes in large irregular blocks, and a call whose pipeline clock follows it drops
// what its speaker should play.
struct Player {
    GstElement* pipeline;
    // Into each of `sinks` at once (more than one only to check the recorder against itself).
    explicit Player(const std::vector<std::string>& sinks) : pipeline(Launch(Text(sinks))) {
        if (pipeline) gst_element_set_state(pipeline, GST_STATE_PLAYING);
    }
    static std::string Text(const std::vector<std::string>& sinks) {
        std::string text =
            "audiotestsrc is-live=true wave=sine freq=1000 volume=0.5 samplesperbuffer=240 !"
            " audio/x-raw,format=S16LE,rate=48000,channels=1 ! volume name=v mute=true ! tee "
            "name=t";
        for (const std::string& sink : sinks) {
            text += " t. ! queue ! pulsesink client-name=player-" + sink + " device=" + sink +
                    " buffer-time=40000 latency-time=10000";
        }
        return text;
    }
    ~Player() { Dispose(pipeline); }
    void Sound(bool on) { SetProperty(pipeline, "v", "mute", !on); }
};

// `bursts` times 500 ms of silence then 300 ms of tone; from each burst's start the delay
// between the tone reaching the microphone's sink (track 0) and the speaker's (track 1).
std::vector<double> MouthToEar(int bursts, Recorder& recorder, Player& player,
                               const std::function<void(int)>& wait, int* missed) {
    std::vector<GstClockTime> starts;
    for (int i = 0; i < bursts; ++i) {
        wait(500);
        starts.push_back(recorder.Now());
        player.Sound(true);
        wait(300);
        player.Sound(false);
    }
    wait(500);
    if (std::getenv("QB_DEBUG")) {
        for (int k = 0; k < 2; ++k) {
            auto& t = recorder.track(k);
            std::lock_guard lock(t.mutex);
            int peak = 0;
            for (auto v : t.samples) peak = std::max(peak, std::abs(int(v)));
            std::fprintf(stderr,
                         "track %d: %zu samples, %zu stamps, first %.1f last %.1f, peak %d\n", k,
                         t.samples.size(), t.stamps.size(),
                         t.stamps.empty() ? -1 : t.stamps.front().second / 1e6,
                         t.stamps.empty() ? -1 : t.stamps.back().second / 1e6, peak);
        }
    }
    std::vector<double> ms;
    *missed = 0;
    for (GstClockTime start : starts) {
        const long in = Recorder::FirstLoud(recorder.track(0), start, start + GST_SECOND, kLoud);
        const GstClockTime in_at = in < 0 ? 0 : Recorder::TimeOf(recorder.track(0), in);
        const long out =
            in < 0 ? -1 : Recorder::FirstLoud(recorder.track(1), in_at, in_at + GST_SECOND, kLoud);
        if (std::getenv("QB_DEBUG"))
            std::fprintf(
                stderr, "burst at %.1f: in %ld, levels %.1f %.1f\n", start / 1e6, in,
                Recorder::ToneLevel(recorder.track(0), start, start + GST_SECOND, kToneHz),
                Recorder::ToneLevel(recorder.track(1), start, start + GST_SECOND, kToneHz));
        if (out < 0) {
            ++*missed;
            continue;
        }
        ms.push_back(double(Recorder::TimeOf(recorder.track(1), out) - in_at) / GST_MSECOND);
    }
    return ms;
}

void PrintLatency(const char* what, const std::vector<double>& ms, int missed) {
    std::printf("| %-40s | %8.1f | %8.1f | %6zu | %6d |\n", what, MedianOf(ms), WorstOf(ms),
                ms.size(), missed);
}

CallConfig MicrophoneSide(const std::string& mic, const std::string& speaker) {
    CallConfig c;
    c.voice_source.kind = VoiceSource::Kind::kMicrophone;
    c.voice_source.device = mic;
    c.voice_output.device = speaker;
    return c;
}

void Part1(int bursts, bool calls, int speaker_us) {
    std::printf("\n1. Mouth to ear: mic_a sink -> (A) ... (B) -> spk_b sink, 10 ms Opus frames\n");
    std::printf("| %-40s | %8s | %8s | %6s | %6s |\n", "path", "median", "worst", "bursts",
                "missed");
    std::printf(
        "|------------------------------------------|----------|----------|--------|--------|\n");
    // Each path is timed by a recorder of its own, started after the path settled: one kept
    // for long drifted apart from itself.
    const std::vector<std::string> monitors = {"mic_a.monitor", "spk_b.monitor"};
    int missed = 0;
    {
        // The same bursts into both sinks: what the recorder makes of no delay at all.
        Player both({"mic_a", "spk_b"});
        auto sleep = [](int t) { std::this_thread::sleep_for(std::chrono::milliseconds(t)); };
        sleep(kSettleMs);
        Recorder recorder(monitors);
        if (!recorder.ok()) return;
        sleep(500);
        auto ms = MouthToEar(bursts / 2, recorder, both, sleep, &missed);
        PrintLatency("recorder check: one burst into both", ms, missed);
    }
    Player player({"mic_a"}), quiet({"mic_b"});
    if (!player.pipeline) return;
    GstElement* rx = Launch(
        std::string("udpsrc name=in address=127.0.0.1 port=0 caps=\"") +
        quorell::media::detail::kVoiceRtpCaps +
        "\" ! rtpjitterbuffer latency=" + std::to_string(CallConfig{}.jitter_ms) +
        " !"
        " rtpopusdepay ! " +
        quorell::media::detail::kOpusDecoder +
        " ! audioconvert ! audioresample ! pulsesink client-name=bare device=spk_b async=false " +
        (speaker_us > 0 ? "buffer-time=" + std::to_string(speaker_us) + " latency-time=10000"
                        : std::string(quorell::media::detail::kSpeakerTiming)));
    if (!rx) return;
    UseSystemClock(rx);
    gst_element_set_state(rx, GST_STATE_PLAYING);
    gst_element_get_state(rx, nullptr, nullptr, GST_SECOND);
    GstElement* udpsrc = gst_bin_get_by_name(GST_BIN(rx), "in");
    int port = 0;
    g_object_get(udpsrc, "port", &port, nullptr);
    gst_object_unref(udpsrc);
    GstElement* tx = Launch(
        "pulsesrc device=mic_a.monitor buffer-time=20000 latency-time=10000 ! audioconvert !"
        " audioresample ! audio/x-raw,format=S16LE,rate=48000,channels=1 ! " +
        quorell::media::detail::OpusEncoder(10) +
        " ! rtpopuspay pt=111 ! udpsink host=127.0.0.1 sync=false async=false port=" +
        std::to_string(port));
    if (tx) {
        UseSystemClock(tx);
        gst_element_set_state(tx, GST_STATE_PLAYING);
        auto sleep = [](int t) { std::this_thread::sleep_for(std::chrono::milliseconds(t)); };
        sleep(kSettleMs);
        Recorder recorder(monitors);
        sleep(500);
        auto ms = MouthToEar(bursts, recorder, player, sleep, &missed);
        PrintLatency("bare RTP Opus over UDP (pulse both ends)", ms, missed);
    }
    Dispose(tx);
    Dispose(rx);
    if (calls) {
        CallPair pair(MicrophoneSide("mic_a.monitor", "spk_a"),
                      MicrophoneSide("mic_b.monitor", "spk_b"));
        if (pair.Connect()) {
            pair.Wait(kSettleMs);
            Recorder recorder(monitors);
            pair.Wait(500);
            auto ms = MouthToEar(
                bursts, recorder, player, [&](int t) { pair.Wait(t); }, &missed);
            PrintLatency("two calls (webrtcdsp, webrtcbin, pulse)", ms, missed);
        }
    }
}

// A's received voice played into spk_a by the benchmark, when A's call hands it out instead
// (which is how a call runs without its echo canceller).
struct Speaker {
    GstElement* pipeline = Launch(
        "appsrc name=in is-live=true do-timestamp=true format=time"
        " caps=audio/x-raw,format=S16LE,rate=48000,channels=1,layout=interleaved !"
        " pulsesink device=spk_a async=false buffer-time=40000 latency-time=10000");
    GstElement* in = pipeline ? gst_bin_get_by_name(GST_BIN(pipeline), "in") : nullptr;
    Speaker() {
        if (pipeline) gst_element_set_state(pipeline, GST_STATE_PLAYING);
    }
    ~Speaker() {
        if (in) gst_object_unref(in);
        Dispose(pipeline);
    }
    void Play(const VoiceSamples& s) {
        const gsize bytes = s.frames * s.channels * sizeof(std::int16_t);
        GstBuffer* b = gst_buffer_new_allocate(nullptr, bytes, nullptr);
        gst_buffer_fill(b, 0, s.samples, bytes);
        gst_app_src_push_buffer(GST_APP_SRC(in), b);
    }
};

void Part2(int bursts, bool cancel) {
    std::unique_ptr<Speaker> speaker;
    CallConfig a = MicrophoneSide("spk_a.monitor", "spk_a");
    if (!cancel) {
        speaker = std::make_unique<Speaker>();
        a.voice_output.on_samples = [s = speaker.get()](const VoiceSamples& v) { s->Play(v); };
    }
    CallConfig b;
    b.voice_source.kind = VoiceSource::Kind::kTone;
    b.voice_source.tone_hz = kToneHz;
    b.voice_output.device = "spk_b";
    CallPair pair(a, b);
    pair.b().SetVoiceMuted(true);
    if (!pair.Connect()) return;
    pair.Wait(kSettleMs);
    Recorder recorder({"spk_a.monitor", "spk_b.monitor"});
    if (!recorder.ok()) return;
    pair.Wait(500);
    std::vector<double> at_a, back, floor;
    for (int i = 0; i < bursts; ++i) {
        const GstClockTime start = recorder.Now();
        pair.b().SetVoiceMuted(false);
        pair.Wait(1000);
        pair.b().SetVoiceMuted(true);
        pair.Wait(1000);
        at_a.push_back(Recorder::ToneLevel(recorder.track(0), start + 100 * GST_MSECOND,
                                           start + GST_SECOND, kToneHz));
        back.push_back(Recorder::ToneLevel(recorder.track(1), start + 200 * GST_MSECOND,
                                           start + 1100 * GST_MSECOND, kToneHz));
        floor.push_back(Recorder::ToneLevel(recorder.track(1), start + 1500 * GST_MSECOND,
                                            start + 1950 * GST_MSECOND, kToneHz));
    }
    // Bursts A's speaker did not play (see README) say nothing of the echo.
    std::vector<double> returned;
    int silent = 0;
    for (std::size_t i = 0; i < back.size(); ++i) {
        if (at_a[i] < -60) {
            ++silent;
        } else {
            returned.push_back(back[i] - at_a[i]);
        }
    }
    std::vector<double> settled(returned.begin() + std::min<std::size_t>(1, returned.size()),
                                returned.end());
    std::printf("| %-28s | %9.1f | %9.1f | %9.1f | %9.1f | %9.1f |\n",
                cancel ? "echo cancellation on" : "echo cancellation off", MedianOf(at_a),
                MedianOf(returned), WorstOf(settled), returned.empty() ? NAN : returned[0],
                MedianOf(floor) - MedianOf(at_a));
    if (silent)
        std::printf("  (%d of %d bursts not played by A's speaker, left out)\n", silent, bursts);
}

bool HaveSoundServer() {
    return std::getenv("PULSE_SERVER") && std::system("pactl info >/dev/null 2>&1") == 0;
}

}  // namespace

int main(int argc, char** argv) {
    gst_init(&argc, &argv);
    const int bursts = Option(argc, argv, "--bursts", 20);
    const int echo_bursts = Option(argc, argv, "--echo-bursts", 8);
    if (!HaveSoundServer()) {
        std::fprintf(stderr, "no sound server: run eval \"$(scripts/sound-server)\" first\n");
        return 1;
    }
    NullSink mic_a("mic_a"), mic_b("mic_b"), spk_a("spk_a"), spk_b("spk_b");
    if (!mic_a.ok() || !mic_b.ok() || !spk_a.ok() || !spk_b.ok()) return 1;
    const int part = Option(argc, argv, "--part", 0);  // 0: all; 1, 2, or 3 (1 without calls)
    if (part == 0 || part == 1 || part == 3)
        Part1(bursts, part != 3, Option(argc, argv, "--bare-speaker-us", 0));
    if (part != 0 && part != 2) return 0;
    std::printf("\n2. Echo: spk_a's monitor is A's microphone; B sends 1 s bursts of %g Hz\n",
                kToneHz);
    std::printf("| %-28s | %9s | %9s | %9s | %9s | %9s |\n", "A's side", "at A dBFS", "back dB",
                "worst dB", "first dB", "floor dB");
    std::printf(
        "|------------------------------|-----------|-----------|-----------|-----------|----------"
        "-|\n");
    Part2(echo_bursts, true);
    Part2(echo_bursts, false);
    std::printf(
        "(back: B's tone at B's speaker against its level at A's; worst of the bursts "
        "after the first; floor: B's speaker with B muted)\n");
    return 0;
}
