// What a file transfer costs beyond its protocol's own limit. The exchange is stop-and-wait,
// one 1024-byte chunk per round trip, and the receiver hands every datagram to the
// user-interface thread. Measured in one run:
//   (a) the bare UDP round trip on loopback: 1024 bytes out, a 24-byte reply back, between two
//       plain sockets on two threads;
//   (b) one synchronous hand-off to the user-interface thread through the program's bridge;
//   (c) the real transfer of a file (20 MB by default) between two windows in this process,
//       A on 127.0.0.1 and B on 127.0.0.2, from B's accept to B's completion box.
// Prints throughputs and the time per chunk the program adds beyond (a) plus (b), and the
// ratio of (c) to the (a)+(b) limit. It never judges them.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "app/form1.h"
#include "app/qt_bridge.h"
#include "app/startup_config.h"
#include "assets/quorell_assets.h"
#include "bench_support.h"
#include "support/fakes.h"
#include "support/raw_udp.h"
#include "support/wait.h"

using namespace quorell;
using namespace quorell::bench;

namespace {

constexpr int kChunk = 1024;

struct Options {
    int megabytes = 20;
    int pings = 20000;
    int handoffs = 20000;
    int control_port = 23001;
    int file_port = 28190;
    int rounds = 5;
};

Options ParseOptions(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        auto value = [&](const char* name, int* out) {
            const std::size_t n = std::strlen(name);
            if (std::strncmp(argv[i], name, n) != 0 || argv[i][n] != '=') return false;
            *out = std::atoi(argv[i] + n + 1);
            return true;
        };
        if (value("--megabytes", &o.megabytes) || value("--pings", &o.pings) ||
            value("--handoffs", &o.handoffs) || value("--port", &o.control_port) ||
            value("--file-port", &o.file_port) || value("--rounds", &o.rounds)) {
            continue;
        }
        std::fprintf(stderr,
                     "usage: %s [--megabytes=20] [--pings=20000] [--handoffs=20000] "
                     "[--port=23001] [--file-port=28190] [--rounds=5]\n",
                     argv[0]);
        std::exit(2);
    }
    return o;
}

// (a) Microseconds per round trip of a 1024-byte datagram answered by a 24-byte one: blocking
// sockets, fixed buffers, nothing else.
double UdpRoundTrip(int count) {
    test::RawUdp echo("127.0.0.2");
    test::RawUdp client("127.0.0.1");
    const sockaddr_in to = test::RawUdp::Address("127.0.0.2", echo.port());
    std::thread responder([&] {
        char buffer[2048];
        const char reply[] = "Recived File Package OK!";
        for (int i = 0; i < count; ++i) {
            sockaddr_in from{};
            socklen_t len = sizeof from;
            if (recvfrom(echo.fd(), buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from),
                         &len) < 0) {
                return;
            }
            sendto(echo.fd(), reply, sizeof reply - 1, 0, reinterpret_cast<sockaddr*>(&from), len);
        }
    });
    char chunk[kChunk] = {};
    char buffer[2048];
    const auto start = Clock::now();
    int done = 0;
    for (; done < count; ++done) {
        sendto(client.fd(), chunk, sizeof chunk, 0, reinterpret_cast<const sockaddr*>(&to),
               sizeof to);
        if (recv(client.fd(), buffer, sizeof buffer, 0) < 0) break;
    }
    const double micros = MicrosBetween(start, Clock::now());
    responder.join();
    return done > 0 ? micros / done : 0;
}

// (b) Microseconds per synchronous hand-off from a worker to this (user-interface) thread.
double HandOff(const std::shared_ptr<UiBridge>& bridge, int count) {
    std::atomic<bool> finished{false};
    double micros = 0;
    std::thread worker([&] {
        const auto start = Clock::now();
        int sink = 0;
        for (int i = 0; i < count; ++i) bridge->Invoke([&sink] { ++sink; });
        micros = MicrosBetween(start, Clock::now()) / count;
        finished = true;
    });
    test::WaitUntil([&] { return finished.load(); }, std::chrono::seconds(60));
    worker.join();
    return micros;
}

struct Peer {
    Peer(const std::string& address, const Options& o, std::shared_ptr<UiBridge> bridge) {
        devices.ring = std::make_unique<test::FakeRingPlayer>();
        StartupConfig config;
        config.session_port = 0;  // the plain protocol only
        config.bind_address = address;
        config.control_port = o.control_port;
        config.file_port = o.file_port;
        form = std::make_unique<TForm1>(config, devices, dialogs, std::move(bridge));
        form->show();
    }
    test::FakeDialogs dialogs;
    DeviceContext devices;
    std::unique_ptr<TForm1> form;
};

// (c) Seconds for the whole transfer, or a negative number when it did not complete.
double Transfer(const Options& o, const std::shared_ptr<UiBridge>& bridge, qint64 bytes) {
    QTemporaryDir dir;
    const QString source = dir.filePath(QStringLiteral("source.bin"));
    const QString target = dir.filePath(QStringLiteral("target.bin"));
    {
        QFile file(source);
        if (!file.open(QIODevice::WriteOnly)) return -1;
        QByteArray block(1 << 20, Qt::Uninitialized);
        for (qsizetype i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 131 + 7);
        for (qint64 left = bytes; left > 0; left -= block.size()) {
            file.write(block.constData(), std::min<qint64>(left, block.size()));
        }
    }
    Peer a("127.0.0.1", o, bridge);
    Peer b("127.0.0.2", o, bridge);
    if (!a.form->Server1.Active() || !b.form->IdUDPServer2.Active()) {
        std::fprintf(stderr, "ports in use: %s\n", a.dialogs.LastText().toUtf8().constData());
        return -1;
    }
    a.form->Edit1->setText(QStringLiteral("127.0.0.2"));
    a.form->Button6->click();
    a.dialogs.answers.push_back(source);
    a.form->BitBtn4->click();
    if (!test::WaitUntil([&] { return b.form->BitBtn7->isEnabled(); }, std::chrono::seconds(5)))
        return -1;
    b.form->Edit1->setText(QStringLiteral("127.0.0.1"));
    b.dialogs.answers.push_back(target);
    const auto start = Clock::now();
    b.form->BitBtn7->click();
    if (!test::WaitUntil([&] { return b.dialogs.Count(QStringLiteral("plain")) > 0; },
                         std::chrono::seconds(600))) {
        return -1;
    }
    const double seconds = MicrosBetween(start, Clock::now()) / 1e6;
    if (QFileInfo(target).size() != bytes) {
        std::fprintf(stderr, "incomplete: %s\n", b.dialogs.LastText().toUtf8().constData());
        return -1;
    }
    return seconds;
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    const Options o = ParseOptions(argc, argv);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quorell"));
    QuorellInitAssets();
    auto bridge = MakeQtUiBridge();

    // The machine's own noise moves every figure from one moment to the next, so each round
    // measures all three back to back and the medians are compared.
    const qint64 bytes = qint64(o.megabytes) * 1024 * 1024;
    const double chunks = static_cast<double>(bytes) / kChunk;
    std::vector<double> as, bs, cs;
    for (int round = 1; round <= o.rounds; ++round) {
        const double a = UdpRoundTrip(o.pings);
        const double b = HandOff(bridge, o.handoffs);
        const double seconds = Transfer(o, bridge, bytes);
        if (seconds < 0) return 1;
        const double per_chunk = seconds * 1e6 / chunks;
        std::printf("round %d: (a) %.1f us, (b) %.1f us, (c) %.2f s = %.1f us per chunk\n", round,
                    a, b, seconds, per_chunk);
        as.push_back(a);
        bs.push_back(b);
        cs.push_back(per_chunk);
    }
    bridge->Close();

    const double a = Median(as), b = Median(bs), per_chunk = Median(cs);
    const double limit = kChunk / (a + b);  // bytes per microsecond: MB/s
    const double achieved = kChunk / per_chunk;
    std::printf("medians over %d rounds:\n", o.rounds);
    std::printf("(a) UDP round trip, 1024 B out / 24 B back: %.1f us  (%.1f MB/s)\n", a,
                kChunk / a);
    std::printf("(b) synchronous hand-off to the user-interface thread: %.1f us\n", b);
    std::printf("(c) %d MiB file between two windows: %.1f MB/s, %.1f us per chunk\n", o.megabytes,
                achieved, per_chunk);
    std::printf(
        "    limit 1024 B per (a+b) = %.1f MB/s; achieved %.0f%% of it; the program "
        "adds %.1f us per chunk beyond (a)+(b)\n",
        limit, 100.0 * achieved / limit, per_chunk - a - b);
    return 0;
}
