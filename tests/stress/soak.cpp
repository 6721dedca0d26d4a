// Two peers under the full workload for a given number of minutes, printing their resource use
// and counters every minute and a verdict at the end. Exit status 0 when the run was clean.
//
//   soak [minutes, default 60] [--report-seconds N]
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTimer>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/qt_bridge.h"
#include "assets/quorell_assets.h"
#include "support/two_peers.h"
#include "support/workload.h"

namespace {

using quorell::test::Peer;
using quorell::test::PeerPorts;
using quorell::test::Workload;
using quorell::test::WorkloadCounters;
using quorell::test::WorkloadOptions;

// Ports of their own, so the soak may run while the tests that bind the fixture's ports do.
constexpr PeerPorts kSoakPorts{21401, 28491, 29402};

// A field of /proc/self/status in kB or as a count; -1 when missing.
long StatusField(const char* name) {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly)) return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (!line.startsWith(name)) continue;
        return line.mid(static_cast<qsizetype>(std::strlen(name))).trimmed().split(' ')[0].toLong();
    }
    return -1;
}

struct Sample {
    double minute = 0;
    long rss_kb = 0;
    long threads = 0;
    WorkloadCounters counters;
};

void Print(const Sample& s) {
    const WorkloadCounters& c = s.counters;
    std::printf(
        "[%6.1f min] rss %7.1f MB  threads %3ld  lines %lld/%lld  files %lld/%lld "
        "(incomplete %lld, corrupted %lld, stalled %lld)  frames %lld  voice %lld  errors %lld\n",
        s.minute, s.rss_kb / 1024.0, s.threads, static_cast<long long>(c.lines_sent),
        static_cast<long long>(c.lines_shown), static_cast<long long>(c.files_sent),
        static_cast<long long>(c.files_identical), static_cast<long long>(c.files_incomplete),
        static_cast<long long>(c.files_corrupted), static_cast<long long>(c.files_stalled),
        static_cast<long long>(c.frames_shown), static_cast<long long>(c.voice_blocks),
        static_cast<long long>(c.error_boxes));
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    double minutes = 60;
    int report_seconds = 60;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--report-seconds") == 0 && i + 1 < argc) {
            report_seconds = std::max(1, std::atoi(argv[++i]));
        } else {
            minutes = std::atof(argv[i]);
        }
    }
    if (minutes <= 0) {
        std::fprintf(stderr, "usage: soak [minutes] [--report-seconds N]\n");
        return 2;
    }
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quorell"));
    QApplication::setQuitOnLastWindowClosed(false);
    QuorellInitAssets();

    auto bridge = quorell::MakeQtUiBridge();
    auto a = std::make_unique<Peer>("127.0.0.1", bridge, kSoakPorts);
    auto b = std::make_unique<Peer>("127.0.0.2", bridge, kSoakPorts);
    if (!a->form->Server1.Active() || !b->form->Server1.Active()) {
        std::printf("VERDICT: FAIL (control ports %d not bound)\n", kSoakPorts.control);
        return 1;
    }
    WorkloadOptions options;
    options.chat_pause = std::chrono::milliseconds(50);
    options.video_port_a = 29410;
    options.video_port_b = 29411;
    options.voice_port_a = 29420;
    options.voice_port_b = 29421;
    auto workload = std::make_unique<Workload>(*a, *b, options);
    QString why;
    if (!workload->Start(&why)) {
        std::printf("VERDICT: FAIL (the workload does not start: %s)\n", qPrintable(why));
        return 1;
    }
    std::printf("soak: %.1f minutes, control port %d, file port %d, pid %lld\n", minutes,
                kSoakPorts.control, kSoakPorts.file, static_cast<long long>(app.applicationPid()));
    std::fflush(stdout);

    std::vector<Sample> samples;
    QElapsedTimer clock;
    clock.start();
    auto sample = [&] {
        Sample s{clock.elapsed() / 60000.0, StatusField("VmRSS:"), StatusField("Threads:"),
                 workload->Counters()};
        samples.push_back(s);
        Print(s);
    };
    sample();
    QTimer report;
    QObject::connect(&report, &QTimer::timeout, sample);
    report.start(report_seconds * 1000);
    QTimer::singleShot(static_cast<int>(minutes * 60000), &app, &QApplication::quit);
    app.exec();
    report.stop();

    const bool settled = workload->Finish();
    sample();
    const WorkloadCounters c = workload->Counters();
    const std::int64_t missing = workload->LinesMissing();

    // Memory is judged from the fifth minute on (or from the middle of a shorter run), once
    // caches and pools have reached their size.
    const double from = std::min(5.0, minutes / 2);
    long base = -1, peak = 0;
    for (const Sample& s : samples) {
        if (s.minute + 1e-6 < from) continue;
        if (base < 0) base = s.rss_kb;
        peak = std::max(peak, s.rss_kb);
    }
    const double growth_mb = base < 0 ? 0 : (peak - base) / 1024.0;

    std::vector<std::string> faults;
    auto check = [&](bool ok, const std::string& what) {
        if (!ok) faults.push_back(what);
    };
    check(settled, "the last line or file did not end");
    check(growth_mb < 5.0, "resident memory grew by " + std::to_string(growth_mb) + " MB");
    check(c.lines_sent > 0 && missing == 0,
          std::to_string(missing) + " of " + std::to_string(c.lines_sent) + " lines lost");
    check(c.lines_garbled == 0 && c.lines_repeated == 0 && c.lines_unconfirmed == 0,
          "lines garbled, repeated or unconfirmed");
    check(c.files_sent > 0 && c.files_identical == c.files_sent,
          std::to_string(c.files_sent - c.files_identical) + " of " + std::to_string(c.files_sent) +
              " files not byte for byte");
    check(c.frames_shown > 0 && c.voice_blocks > 0, "no frames or no voice");
    check(c.error_boxes == 0, std::to_string(c.error_boxes) + " error boxes");

    std::printf("summary: %s\n", qPrintable(workload->Summary()));
    std::printf("rss growth after minute %.1f: %.2f MB (from %.1f MB to a peak of %.1f MB)\n", from,
                growth_mb, base / 1024.0, peak / 1024.0);
    for (const QString& note : c.notes) std::printf("note: %s\n", qPrintable(note));
    if (faults.empty()) {
        std::printf("VERDICT: PASS\n");
    } else {
        std::printf("VERDICT: FAIL\n");
        for (const std::string& f : faults) std::printf("  - %s\n", f.c_str());
    }
    std::fflush(stdout);

    workload.reset();
    a.reset();
    b.reset();
    bridge->Close();
    return faults.empty() ? 0 : 1;
}
