// Voice on this machine. Prints figures; it never judges them.
//   1. Delay from the end of a recorded second to its playback being queued on the peer: two
//      windows over loopback (A on 127.0.0.1 sending, B on 127.0.0.2 receiving), recording
//      driven by hand, a recording playback device on B. Median and worst over --blocks.
//   2. Gaps in playback through the real Qt sink: one-second blocks written on time for
//      --seconds to the default output (run with a sound server, e.g. after
//      eval "$(scripts/sound-server)"). Any gap delays every later block, so the drift of the
//      last block's "played" report against the first shows the total of the gaps.
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
#include "bench/bench_support.h"
#include "support/fake_audio.h"

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
    bridge->Close();
    return 0;
}
