// The program's own sound devices against a real sound server (CI starts one with a null sink
// and a null source). Without a server these tests are skipped, and say so.
#include <gtest/gtest.h>
#include <pulse/pulseaudio.h>
#include <unistd.h>

#include <QAudioDevice>
#include <QElapsedTimer>
#include <QMediaDevices>
#include <QTimer>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "app/qt_audio.h"
#include "audio/wave_out.h"
#include "support/wait.h"

namespace quorell::test {
namespace {

using namespace std::chrono_literals;

bool HaveSoundServer() {
    return !QMediaDevices::audioOutputs().isEmpty() && !QMediaDevices::audioInputs().isEmpty();
}

TEST(QtAudioDevices, PlayBlocksBackToBackAndRecordAtTheRateAskedFor) {
    if (!HaveSoundServer()) GTEST_SKIP() << "no sound server (start one as .ci/run does)";

    QtWaveOutput output;
    std::vector<std::uint64_t> played;
    QElapsedTimer clock;
    std::vector<qint64> played_at;
    ASSERT_EQ(output.Open(8000, 1,
                          [&](std::uint64_t id) {
                              played.push_back(id);
                              played_at.push_back(clock.elapsed());
                          }),
              0);
    const std::vector<std::int16_t> tenth(800, 1000);  // 0.1 s each
    std::vector<std::uint64_t> written(20);
    clock.start();
    for (auto& id : written) ASSERT_EQ(output.Write(tenth, &id), 0);
    ASSERT_TRUE(WaitUntil([&] { return played.size() == written.size(); }, 10s));
    EXPECT_EQ(played, written);  // in the order written
    // Once playing, the other 1.9 s take their time: blocks reported before their audio
    // has gone through, or a device opened at another rate, would not.
    EXPECT_GE(played_at.back() - played_at.front(), 1500);

    QtWaveInput input;
    std::size_t recorded = 0, first = 0;
    QElapsedTimer since_first;
    ASSERT_EQ(input.Open(8000, 1,
                         [&](std::span<const std::int16_t> s) {
                             if (!since_first.isValid()) {
                                 since_first.start();
                                 first = s.size();
                             }
                             recorded += s.size();
                         }),
              0);
    ASSERT_TRUE(WaitUntil([&] { return recorded >= first + 24000; }, 15s));
    // Three more seconds cannot have been recorded in much less time, whatever the server had
    // buffered when it started: a source opened at another rate would be.
    EXPECT_GE(since_first.elapsed(), 2000) << first << " samples came at first";
}

// Runs a command of the sound server's own client: its output, or nothing when it failed.
std::optional<std::string> Pactl(const std::string& arguments) {
    FILE* p = popen(("pactl " + arguments + " 2>/dev/null").c_str(), "r");
    if (p == nullptr) return std::nullopt;
    std::string out;
    char buffer[4096];
    while (const std::size_t n = std::fread(buffer, 1, sizeof buffer, p)) out.append(buffer, n);
    if (pclose(p) != 0) return std::nullopt;
    return out;
}

// Ends this process's playback streams on the sound server, as the server does when their
// device goes away ("Entity killed"). Other programs' streams are not touched. False when that
// could not be done.
bool KillOwnPlayback() {
    const QString inputs = QString::fromStdString(Pactl("list sink-inputs").value_or(""));
    const QString own = QStringLiteral("application.process.id = \"%1\"").arg(getpid());
    std::vector<std::uint32_t> ids;
    for (const QString& entry : inputs.split(QStringLiteral("Sink Input #"))) {
        if (entry.contains(own)) ids.push_back(entry.section(QLatin1Char('\n'), 0, 0).toUInt());
    }
    if (ids.empty()) return false;
    pa_mainloop* loop = pa_mainloop_new();
    pa_context* context = pa_context_new(pa_mainloop_get_api(loop), "quorell-test");
    bool killed = pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0;
    while (killed && pa_context_get_state(context) != PA_CONTEXT_READY) {
        killed = PA_CONTEXT_IS_GOOD(pa_context_get_state(context)) &&
                 pa_mainloop_iterate(loop, 1, nullptr) >= 0;
    }
    for (std::uint32_t id : ids) {
        if (!killed) break;
        int result = -1;
        pa_operation* op = pa_context_kill_sink_input(
            context, id, [](pa_context*, int ok, void* r) { *static_cast<int*>(r) = ok; }, &result);
        while (op != nullptr && result < 0 && pa_mainloop_iterate(loop, 1, nullptr) >= 0) {
        }
        if (op != nullptr) pa_operation_unref(op);
        killed = result > 0;
    }
    pa_context_disconnect(context);
    pa_context_unref(context);
    pa_mainloop_free(loop);
    return killed;
}

TEST(QtAudioDevices, PlaybackThatLosesItsStreamIsToldOnceAndPlaysAgain) {
    if (!HaveSoundServer()) GTEST_SKIP() << "no sound server (start one as .ci/run does)";
    if (!Pactl("info")) GTEST_SKIP() << "no pactl to reach the sound server";

    QtWaveOutput device;
    std::vector<std::string> messages;
    std::size_t queued_when_told = 0;
    TACMWaveOut out(&device, [&](const std::string& m) {
        messages.push_back(m);
        queued_when_told = out.QueuedBlocks();
    });
    const WaveFormat pcm = PcmFormat(8000, 16, 1);
    out.Open(&pcm);
    ASSERT_TRUE(out.Playing());
    const std::string fifth(3200, '\x10');  // 0.2 s
    // Blocks come as datagrams would, five a second.
    QTimer feed;
    QObject::connect(&feed, &QTimer::timeout, [&] { out.Play(fifth.data(), 3200); });
    feed.start(200);
    ASSERT_TRUE(WaitUntil([&] { return out.QueuedBlocks() > 0; }, 5s));

    ASSERT_TRUE(KillOwnPlayback());
    ASSERT_TRUE(WaitUntil([&] { return !messages.empty(); }, 15s));
    EXPECT_EQ(queued_when_told, 0u);  // what the lost stream held is not waited for
    // A later block opens the device again (and is written to it); what it is given from then
    // on is played.
    ASSERT_TRUE(WaitUntil([&] { return out.Playing(); }, 15s));
    feed.stop();
    EXPECT_TRUE(WaitUntil([&] { return out.QueuedBlocks() == 0; }, 15s));
    EXPECT_EQ(messages, std::vector<std::string>{"WaveOutWrite error"});
}

}  // namespace
}  // namespace quorell::test
