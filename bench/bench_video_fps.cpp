// Live video between two windows in this process, A on 127.0.0.1 sending its pattern camera's
// frames at the 30 ms preview rate and B on 127.0.0.2 showing them. Prints the frames per
// second sent and shown, how many were lost or still queued, the datagram sizes, and the
// processor time per frame (both windows together: capture, encode, send, receive, decode,
// show). It never judges them.
#include <sys/resource.h>

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/form1.h"
#include "app/qt_bridge.h"
#include "app/startup_config.h"
#include "assets/quorell_assets.h"
#include "bench_support.h"
#include "support/fakes.h"
#include "support/wait.h"
#include "video/jpeg_codec.h"
#include "video/pattern_camera.h"

using namespace quorell;
using namespace quorell::bench;

namespace {

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

struct Peer {
    Peer(const std::string& address, int control_port, int file_port,
         std::shared_ptr<UiBridge> bridge, int width, int height) {
        devices.ring = std::make_unique<test::FakeRingPlayer>();
        auto pattern = std::make_unique<PatternCamera>(width, height);
        camera = pattern.get();
        devices.camera = std::move(pattern);
        StartupConfig config;
        config.session_port = 0;  // the plain protocol only
        config.bind_address = address;
        config.control_port = control_port;
        config.file_port = file_port;
        form = std::make_unique<TForm1>(config, devices, dialogs, std::move(bridge));
        form->show();
    }
    test::FakeDialogs dialogs;
    DeviceContext devices;
    PatternCamera* camera = nullptr;
    std::unique_ptr<TForm1> form;
};

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    int seconds = 10, width = 176, height = 144, port = 29500;
    for (int i = 1; i < argc; ++i) {
        if (std::sscanf(argv[i], "--seconds=%d", &seconds) == 1) continue;
        if (std::sscanf(argv[i], "--size=%dx%d", &width, &height) == 2) continue;
        if (std::sscanf(argv[i], "--video-port=%d", &port) == 1) continue;
        std::fprintf(stderr, "usage: %s [--seconds=10] [--size=176x144] [--video-port=29500]\n",
                     argv[0]);
        return 2;
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quorell"));
    QuorellInitAssets();
    auto bridge = MakeQtUiBridge();
    int result = 0;
    {
        Peer a("127.0.0.1", 23101, 28290, bridge, width, height);
        Peer b("127.0.0.2", 23101, 28290, bridge, width, height);
        a.form->Edit1->setText(QStringLiteral("127.0.0.2"));
        a.form->Button6->click();
        a.form->Edit2->setText(QString::number(port));
        a.form->Button3->click();
        if (!test::WaitUntil([&] { return b.form->BitBtn1->isEnabled(); },
                             std::chrono::seconds(5))) {
            std::fprintf(stderr, "the peer never heard of the video\n");
            return 1;
        }
        b.form->Edit1->setText(QStringLiteral("127.0.0.1"));
        b.form->BitBtn1->click();
        if (!b.form->IdUDPServer1.Active()) {
            std::fprintf(stderr, "video port %d in use\n", port);
            return 1;
        }
        // Let the first frames settle, then measure.
        test::WaitUntil([&] { return b.form->VideoReceiving().FramesShown() >= 5; },
                        std::chrono::seconds(5));
        const int sent0 = a.form->VideoSending().FramesSent();
        const int shown0 = b.form->VideoReceiving().FramesShown();
        const double cpu0 = CpuSeconds();
        const auto t0 = Clock::now();
        test::Settle(std::chrono::seconds(seconds));
        const double wall = MicrosBetween(t0, Clock::now()) / 1e6;
        const double cpu = CpuSeconds() - cpu0;
        const int sent = a.form->VideoSending().FramesSent() - sent0;
        // Frames still on their way when the clock stopped are not lost: give them a moment.
        a.form->Button4->click();
        test::Settle(std::chrono::milliseconds(300));
        const int shown = b.form->VideoReceiving().FramesShown() - shown0;
        QImage sample = PatternCamera::Pattern(width, height, 1);
        if (sample.width() > FrameSender::kFitWidth || sample.height() > FrameSender::kFitHeight) {
            sample = sample.scaled(FrameSender::kFitWidth, FrameSender::kFitHeight,
                                   Qt::KeepAspectRatio, Qt::SmoothTransformation);
        }
        std::printf("%dx%d pattern at the 30 ms preview rate for %.1f s\n", width, height, wall);
        std::printf("  sent %d frames (%.1f per second), shown %d (%.1f per second), lost %d\n",
                    sent, sent / wall, shown, shown / wall, sent - shown);
        std::printf("  one frame on the wire: %zu bytes\n", EncodeFrameForWire(sample).size());
        std::printf("  processor time: %.2f ms per frame (both windows), %.0f%% of one core\n",
                    sent > 0 ? cpu * 1000 / sent : 0.0, 100 * cpu / wall);
        if (sent == 0) result = 1;
    }
    bridge->Close();
    return result;
}
