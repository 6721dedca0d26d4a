// Voice on this machine. Prints figures; it never judges them.
//   1. Delay from the end of a recorded second to its playback being queued on the peer: two
//      windows over loopback (A on 127.0.0.1 sending, B on 127.0.0.2 receiving), recording
//      driven by hand, a recording playback device on B. Median and worst over --blocks.
//   2. Gaps in playback through the real Qt sink: one-second blocks written on time for
//      --seconds to the default output (run with a sound server, e.g. after
//      eval "$(scripts/sound-server)"). Any gap delays every later block, so the drift of the
//      last block's "played" report against the first shows the total of the gaps.
//   3. Delay in the playback queue through the real Qt sink: one-second blocks arriving once a
//      second for --seconds, the second of them 350 ms after the first (the burst a capture
//      starts with), and the receiver's clock 1 % slow against the sender's. Median and worst
//      time from a block's arrival to its "played" report, and the blocks dropped.
#include <QApplication>
#include <QLineEdit>
#include <QMediaDevices>
#include <QPushButton>
#include <QTimer>
#include <cstdio>

#include "app/form1.h"
#include "app/qt_audio.h"
#include "app/qt_bridge.h"
#include "assets/quorell_assets.h"
#include "audio/wave_out.h"
#include "bench_support.h"
#include "support/fake_audio.h"
#include "support/fakes.h"
#include "support/wait.h"

using namespace quorell;
using namespace quorell::bench;

namespace {

struct Peer {
    Peer(const std::string& address, std::shared_ptr<UiBridge> bridge) {
        devices.ring = std::make_unique<test::FakeRingPlayer>();
        auto input = std::make_unique<test::FakeToneInput>();
        tone = input.get();
        devices.wave_in = std::move(input);
        auto output = std::make_unique<test::FakeRecordingOutput>();
        output->play_at_once = true;
        played = output.get();
        devices.wave_out = std::move(output);
        StartupConfig config;
        config.session_port = 0;  // the plain protocol only
        config.bind_address = address;
        config.control_port = 23201;
        config.file_port = 28390;
        config.audio_sink_port = 29302;
        form = std::make_unique<TForm1>(config, devices, dialogs, std::move(bridge));
    }
    test::FakeDialogs dialogs;
    DeviceContext devices;
    test::FakeToneInput* tone = nullptr;
    test::FakeRecordingOutput* played = nullptr;
    std::unique_ptr<TForm1> form;
};

void Delay(const std::shared_ptr<UiBridge>& bridge, int blocks) {
    Peer a("127.0.0.1", bridge), b("127.0.0.2", bridge);
    a.form->Edit1->setText(QStringLiteral("127.0.0.2"));
    a.form->Button6->click();
    a.form->Edit4->setText(QStringLiteral("29310"));
    a.dialogs.formats.push_back(Gsm610Format());
    a.form->BitBtn5->click();
    if (!test::WaitUntil([&] { return b.form->BitBtn6->isEnabled(); }, std::chrono::seconds(5))) {
        std::printf("1. the peer never heard of the voice\n");
        return;
    }
    b.form->Edit1->setText(QStringLiteral("127.0.0.1"));
    b.dialogs.formats.push_back(Gsm610Format());
    b.form->BitBtn6->click();
    std::vector<double> micros;
    for (int i = 0; i < blocks; ++i) {
        const std::size_t before = b.played->blocks.size();
        a.tone->Produce(7999);  // all but the last sample frame of the second
        const auto start = Clock::now();
        a.tone->Produce(1);  // completes the second: it is sent from inside this call
        if (!test::WaitUntil([&] { return b.played->blocks.size() > before; },
                             std::chrono::seconds(5))) {
            break;
        }
        micros.push_back(MicrosBetween(start, Clock::now()));
    }
    std::printf(
        "1. GSM 6.10 second, end of recording to queued on the peer: median %.0f us, "
        "worst %.0f us over %zu blocks\n",
        Median(micros), Percentile(micros, 100), micros.size());
}

void Gaps(int seconds) {
    if (QMediaDevices::audioOutputs().isEmpty()) {
        std::printf("2. no sound output: start a sound server to measure gaps\n");
        return;
    }
    QtWaveOutput output;
    std::vector<Clock::time_point> played;
    if (int r = output.Open(8000, 1, [&](std::uint64_t) { played.push_back(Clock::now()); })) {
        std::printf("2. the sound output did not open (%d)\n", r);
        return;
    }
    const std::vector<std::int16_t> second(8000, 0);
    std::uint64_t id = 0;
    int written = 0;
    QTimer writer;
    QObject::connect(&writer, &QTimer::timeout, [&] {
        if (written < seconds && output.Write(second, &id) == 0) ++written;
    });
    output.Write(second, &id);  // one ahead, as a receiver's first datagram arrives early
    ++written;
    writer.start(1000);
    test::WaitUntil([&] { return static_cast<int>(played.size()) >= seconds; },
                    std::chrono::seconds(seconds + 10));
    if (played.size() < 2) {
        std::printf("2. only %zu blocks reported played\n", played.size());
        return;
    }
    const double span = MicrosBetween(played.front(), played.back()) / 1e6;
    std::printf(
        "2. %zu one-second blocks through the real sink: drift %.3f s (total of the "
        "gaps)\n",
        played.size(), span - static_cast<double>(played.size() - 1));
}

void QueueDelay(int seconds) {
    if (QMediaDevices::audioOutputs().isEmpty()) {
        std::printf("3. no sound output: start a sound server to measure the queue\n");
        return;
    }
    QtWaveOutput device;
    TACMWaveOut out(&device, [](const std::string& m) { std::printf("3. %s\n", m.c_str()); });
    const WaveFormat pcm = PcmFormat(8000, 16, 1);
    out.Open(&pcm);
    const std::string second(16000, '\0');
    // When each block that was queued arrived; they are reported played in that order.
    std::vector<Clock::time_point> queued_at;
    std::vector<double> delays;
    const auto arrive = [&] {
        const std::uint64_t dropped = out.DroppedBlocks();
        const auto now = Clock::now();
        out.Play(second.data(), static_cast<int>(second.size()));
        if (out.DroppedBlocks() == dropped) queued_at.push_back(now);
    };
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        while (delays.size() + out.QueuedBlocks() < queued_at.size()) {
            delays.push_back(MicrosBetween(queued_at[delays.size()], Clock::now()) / 1e6);
        }
    });
    watch.start(5);
    int sent = 1;
    QTimer arrivals;
    arrivals.setTimerType(Qt::PreciseTimer);
    QObject::connect(&arrivals, &QTimer::timeout, [&] {
        if (sent++ < seconds) arrive();
        arrivals.setInterval(990);  // the sender's second is a little shorter than ours
    });
    arrive();
    arrivals.start(350);
    test::WaitUntil([&] { return sent > seconds && out.QueuedBlocks() == 0; },
                    std::chrono::seconds(seconds + 10));
    std::printf(
        "3. one-second blocks, start-up burst, 1 %% drift: arrival to played median %.2f s, "
        "worst %.2f s over %zu blocks, %llu dropped\n",
        Median(delays), Percentile(delays, 100), delays.size(),
        static_cast<unsigned long long>(out.DroppedBlocks()));
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    int blocks = 50, seconds = 60;
    for (int i = 1; i < argc; ++i) {
        if (std::sscanf(argv[i], "--blocks=%d", &blocks) == 1) continue;
        if (std::sscanf(argv[i], "--seconds=%d", &seconds) == 1) continue;
        std::fprintf(stderr, "usage: %s [--blocks=50] [--seconds=60]\n", argv[0]);
        return 2;
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quorell"));
    QuorellInitAssets();
    auto bridge = MakeQtUiBridge();
    Delay(bridge, blocks);
    Gaps(seconds);
    QueueDelay(seconds);
    bridge->Close();
    return 0;
}
