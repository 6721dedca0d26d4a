// Two windows in one process, A on 127.0.0.1 and B on 127.0.0.2, talking over real loopback
// sockets. Measures
//   1. the round trip of one control line: A's SendControlLine on the user-interface thread
//      until B's history shows the line and B rings;
//   2. sustained chat throughput through the control channel, A sending back to back from a
//      worker thread (the network step every message send makes), checking that B got every
//      line;
//   3. the same through the send button, one message after another as a fast typist would;
//   4. the round trip of 1. between two more windows whose encrypted session is open.
// Prints figures; it never judges them.
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTextDocument>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/devices.h"
#include "app/form1.h"
#include "app/qt_bridge.h"
#include "app/qt_text.h"
#include "app/startup_config.h"
#include "assets/quorell_assets.h"
#include "bench_support.h"
#include "support/fakes.h"
#include "support/wait.h"

using namespace quorell;
using namespace quorell::bench;

namespace {

struct Options {
    int port = 22001;
    int roundtrips = 1000;
    int burst = 5000;
    int button_sends = 1000;
    int burst_seconds = 10;
    int listen_queue = 0;  // 0: the window's own setting
};

Options ParseOptions(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        auto value = [&](const char* name, int* out) {
            const std::size_t n = std::strlen(name);
            if (std::strncmp(argv[i], name, n) == 0 && argv[i][n] == '=') {
                *out = std::atoi(argv[i] + n + 1);
                return true;
            }
            return false;
        };
        if (value("--port", &o.port) || value("--roundtrips", &o.roundtrips) ||
            value("--burst", &o.burst) || value("--burst-seconds", &o.burst_seconds) ||
            value("--listen-queue", &o.listen_queue) || value("--button", &o.button_sends)) {
            continue;
        }
        std::fprintf(stderr,
                     "usage: %s [--port=22001] [--roundtrips=1000] [--burst=5000] "
                     "[--burst-seconds=10] [--button=1000] "
                     "[--listen-queue=N]\n",
                     argv[0]);
        std::exit(2);
    }
    return o;
}

// One copy of the program: its window with counting boxes and a counting ring player.
struct Peer {
    // session_port 0: the plain protocol only; else the encrypted session on that port, with
    // the identity in identity_folder.
    Peer(const std::string& address, int port, std::shared_ptr<UiBridge> bridge,
         int session_port = 0, const QString& identity_folder = {}) {
        auto player = std::make_unique<test::FakeRingPlayer>();
        ring = player.get();
        devices.ring = std::move(player);
        StartupConfig config;
        config.session_port = session_port;
        config.identity_folder = identity_folder.toStdString();
        config.bind_address = address;
        config.control_port = port;
        form = std::make_unique<TForm1>(config, devices, dialogs, std::move(bridge));
        form->show();
    }

    // The history's lines from block `first` on, as shown (one block per received line).
    std::vector<QString> HistoryFrom(int first) const {
        std::vector<QString> out;
        const QTextDocument* doc = form->Memo1->document();
        for (QTextBlock b = doc->findBlockByNumber(first); b.isValid(); b = b.next()) {
            out.push_back(b.text());
        }
        return out;
    }
    int HistoryBlocks() const {
        // An empty box still has one (empty) block.
        return form->Memo1->toPlainText().isEmpty() ? 0 : form->Memo1->document()->blockCount();
    }

    test::FakeDialogs dialogs;
    test::FakeRingPlayer* ring = nullptr;  // owned by devices
    DeviceContext devices;
    std::unique_ptr<TForm1> form;
};

// The text after "]: " of a history line.
QString HistoryText(const QString& line) {
    const int at = line.indexOf(QStringLiteral("]: "));
    return at < 0 ? QString() : line.mid(at + 3);
}

QString NumberedLine(const char* kind, int i) {
    // Some Chinese in every line, so the GBK conversion on both sides is part of the cost.
    return QStringLiteral("%1 %2 你好，测试消息")
        .arg(QLatin1String(kind))
        .arg(i, 6, 10, QLatin1Char('0'));
}

// Which of the numbered lines of `kind` the history holds, in arrival order.
struct Received {
    std::vector<int> order;
    int foreign = 0;  // lines that are not one of ours
};

Received CollectNumbered(const std::vector<QString>& history, const char* kind) {
    Received r;
    const QString prefix = QLatin1String(kind) + QLatin1Char(' ');
    for (const QString& line : history) {
        const QString text = HistoryText(line);
        bool ok = false;
        const int n = text.startsWith(prefix) ? text.mid(prefix.size(), 6).toInt(&ok) : -1;
        if (ok && text == NumberedLine(kind, n)) {
            r.order.push_back(n);
        } else {
            ++r.foreign;
        }
    }
    return r;
}

struct Delivery {
    int distinct = 0;
    int duplicates = 0;
    int out_of_order = 0;
    int missing = 0;
};

Delivery Summarise(const Received& r, int expected) {
    Delivery d;
    std::set<int> seen;
    int previous = -1;
    for (int n : r.order) {
        if (!seen.insert(n).second) ++d.duplicates;
        if (n < previous) ++d.out_of_order;
        previous = n;
    }
    d.distinct = static_cast<int>(seen.size());
    for (int i = 0; i < expected; ++i) d.missing += seen.count(i) == 0;
    return d;
}

void PrintDelivery(const Delivery& d, int expected, const Received& r) {
    std::printf("  delivered              %d of %d distinct lines%s\n", d.distinct, expected,
                d.missing == 0 ? " (none lost)" : "");
    if (d.missing) std::printf("  LOST                   %d lines\n", d.missing);
    if (d.duplicates) std::printf("  duplicated             %d lines\n", d.duplicates);
    std::printf("  shown out of send order %d times\n", d.out_of_order);
    if (r.foreign) std::printf("  other history lines    %d\n", r.foreign);
}

// 1. Round trip of one line, user-interface thread to the peer's history.
void RoundTrip(Peer& a, Peer& b, int count, const char* title = "[1] control line round trip") {
    std::printf("\n%s: A.SendControlLine() -> B's history + ring\n", title);
    std::printf("    (%d lines, one at a time, on the user-interface thread)\n", count);
    std::vector<double> total_us, send_us;
    total_us.reserve(count);
    send_us.reserve(count);
    int failed = 0, timed_out = 0, wrong_text = 0;

    // A few unmeasured lines first, so lazily built things (fonts, layouts) are built.
    for (int i = 0; i < 20; ++i) {
        const int before = b.ring->rings;
        if (a.form->SendControlLine(ToGbk(NumberedLine("warmup", i)))) {
            test::WaitUntil([&] { return b.ring->rings > before; }, std::chrono::seconds(5));
        }
    }

    for (int i = 0; i < count; ++i) {
        const QString text = NumberedLine("rt", i);
        const std::string wire = ToGbk(text);
        const int before = b.ring->rings;
        const auto t0 = Clock::now();
        const bool sent = a.form->SendControlLine(wire);
        const auto t1 = Clock::now();
        if (!sent) {
            ++failed;
            continue;
        }
        if (!test::WaitUntil([&] { return b.ring->rings > before; }, std::chrono::seconds(5))) {
            ++timed_out;
            continue;
        }
        total_us.push_back(MicrosBetween(t0, b.ring->last_ring));
        send_us.push_back(MicrosBetween(t0, t1));
        const QString last = b.form->Memo1->document()->lastBlock().text();
        if (HistoryText(last) != text) ++wrong_text;
    }
    std::printf("  round trip   median %9.1f us   p99 %9.1f us   max %9.1f us\n", Median(total_us),
                Percentile(total_us, 99), total_us.empty() ? 0.0 : Percentile(total_us, 100));
    std::printf("  of which A's send, which blocks the window (plain: connect, write, close)\n");
    std::printf("               median %9.1f us   p99 %9.1f us   max %9.1f us\n", Median(send_us),
                Percentile(send_us, 99), send_us.empty() ? 0.0 : Percentile(send_us, 100));
    std::printf("  measured %zu, send failed %d, never shown %d, shown with wrong text %d\n",
                total_us.size(), failed, timed_out, wrong_text);
}

// 2. Back-to-back sends from a worker thread through A's control channel.
void ChannelBurst(Peer& a, Peer& b, int count, std::chrono::seconds time_cap) {
    std::printf("\n[2] sustained throughput through the control channel\n");
    std::printf(
        "    A's worker thread calls PlainControlLink::SendControlLineTo(\"127.0.0.2\", line) %d "
        "times\n"
        "    back to back: the network step of every message send (one connection per line),\n"
        "    without the send button's per-message reads of the input box. B's user-interface\n"
        "    thread runs its event loop and shows every line it gets.\n",
        count);
    std::vector<std::string> wire;
    wire.reserve(count);
    for (int i = 0; i < count; ++i) wire.push_back(ToGbk(NumberedLine("burst", i)));

    const int first_block = b.HistoryBlocks();
    const int rings_before = b.ring->rings;
    const int unreachable_before = a.dialogs.Count(QStringLiteral("unreachable"));
    std::atomic<int> sent{0}, refused{0}, thrown{0};
    std::atomic<bool> done{false};
    PlainControlLink& channel = a.form->PlainControl();
    Clock::time_point sender_done;
    std::vector<double> send_us;  // the sender's own, read after join()
    send_us.reserve(count);

    const auto start = Clock::now();
    std::thread sender([&] {
        for (const std::string& line : wire) {
            if (Clock::now() - start > time_cap) break;
            const auto t0 = Clock::now();
            try {
                if (channel.SendControlLineTo("127.0.0.2", line)) {
                    ++sent;
                } else {
                    ++refused;
                }
            } catch (...) {
                ++thrown;
            }
            send_us.push_back(MicrosBetween(t0, Clock::now()));
        }
        sender_done = Clock::now();
        done = true;
    });

    // Serve B's window until the sender has finished and B shows every line it was sent, or
    // nothing more arrives for three seconds after that.
    int last_seen = rings_before;
    auto last_progress = Clock::now();
    test::WaitUntil(
        [&] {
            if (b.ring->rings != last_seen) {
                last_seen = b.ring->rings;
                last_progress = Clock::now();
            }
            if (!done.load()) return false;
            if (b.ring->rings - rings_before >= sent.load()) return true;
            return Clock::now() - last_progress > std::chrono::seconds(3);
        },
        std::chrono::hours(1));
    sender.join();
    const auto end = b.ring->last_ring;

    const int attempted = static_cast<int>(send_us.size());
    const double seconds = MicrosBetween(start, end) / 1e6;
    const double send_seconds = MicrosBetween(start, sender_done) / 1e6;
    const int shown = b.ring->rings - rings_before;
    int stalls = 0;
    for (double us : send_us) stalls += us >= 200000;
    if (attempted < count) {
        std::printf("  stopped after %d of %d lines: the %lld s cap ran out\n", attempted, count,
                    static_cast<long long>(time_cap.count()));
    }
    std::printf("  A: sent %d, unreachable %d (boxes %d), failed while writing %d, in %.3f s\n",
                sent.load(), refused.load(),
                a.dialogs.Count(QStringLiteral("unreachable")) - unreachable_before, thrown.load(),
                send_seconds);
    std::printf("  A: one send median %.1f us, p99 %.1f us, max %.1f us; %d sends took >= 200 ms\n",
                Median(send_us), Percentile(send_us, 99),
                send_us.empty() ? 0.0 : Percentile(send_us, 100), stalls);
    std::printf("  B: shown %d lines, last at %.3f s after the first send\n", shown, seconds);
    if (seconds > 0) {
        std::printf("  throughput             %.0f lines/s delivered (%.0f lines/s sent)\n",
                    shown / seconds, send_seconds > 0 ? sent.load() / send_seconds : 0.0);
    }
    const Received r = CollectNumbered(b.HistoryFrom(first_block), "burst");
    std::printf("  (a line counts as lost when A's send reported success and B never showed it)\n");
    PrintDelivery(Summarise(r, sent.load()), sent.load(), r);
    const QString last = b.form->Memo1->document()->lastBlock().text();
    std::printf("  B's last history line  \"%s\"\n", last.toUtf8().constData());
}

// 3. The send button, as a person sending one message after another.
void ButtonSends(Peer& a, Peer& b, int count) {
    std::printf("\n[3] sustained throughput through the send button\n");
    std::printf(
        "    %d messages: put the text in A's input box, click the send button (a Send_text\n"
        "    worker reads the box, sends, adds A's own history line and empties the box), and\n"
        "    type the next message as soon as the box is empty. Back-to-back clicks without\n"
        "    waiting would send whatever the box holds when each worker reads it, so this is\n"
        "    the fastest honest rate of distinct messages.\n",
        count);
    const int first_block = b.HistoryBlocks();
    const int rings_before = b.ring->rings;
    int stuck = 0;
    const auto start = Clock::now();
    for (int i = 0; i < count; ++i) {
        a.form->Memo2->setPlainText(NumberedLine("button", i));
        a.form->Button1->click();
        if (!test::WaitUntil([&] { return a.form->Memo2->toPlainText().isEmpty(); },
                             std::chrono::seconds(5))) {
            ++stuck;
            break;
        }
    }
    const auto typed = Clock::now();
    test::WaitUntil([&] { return b.ring->rings - rings_before >= count; },
                    std::chrono::seconds(10));
    const int shown = b.ring->rings - rings_before;
    const double seconds = MicrosBetween(start, b.ring->last_ring) / 1e6;
    std::printf("  A: %d messages sent in %.3f s%s\n", count - stuck,
                MicrosBetween(start, typed) / 1e6, stuck ? " (a send never finished)" : "");
    std::printf("  B: shown %d lines, last at %.3f s after the first click\n", shown, seconds);
    if (seconds > 0)
        std::printf("  throughput             %.0f messages/s delivered\n", shown / seconds);
    const Received r = CollectNumbered(b.HistoryFrom(first_block), "button");
    PrintDelivery(Summarise(r, count), count, r);
    std::printf("  B's last history line  \"%s\"\n",
                b.form->Memo1->document()->lastBlock().text().toUtf8().constData());
}

// 4. The same round trip between two copies with their encrypted session open: the line goes
// as a chat message inside TLS instead of a connection of its own.
int SessionRoundTrip(const Options& options, std::shared_ptr<UiBridge> bridge) {
    QTemporaryDir folder_a, folder_b;
    constexpr int kSessionPort = 22010;
    Peer a("127.0.0.3", options.port, bridge, kSessionPort, folder_a.path());
    Peer b("127.0.0.4", options.port, bridge, kSessionPort, folder_b.path());
    a.form->Edit1->setText(QStringLiteral("127.0.0.4"));
    a.form->Button6->click();
    const QString unverified = QStringLiteral("加密，未验证");
    if (!test::WaitUntil(
            [&] {
                return a.form->Label5->text() == unverified && b.form->Label5->text() == unverified;
            },
            std::chrono::seconds(10))) {
        std::fprintf(stderr, "A could not open a session with B\n");
        return 1;
    }
    RoundTrip(a, b, options.roundtrips,
              "[4] the same over the encrypted session (A 127.0.0.3 -> B 127.0.0.4)");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    const Options options = ParseOptions(argc, argv);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quorell"));
    QApplication::setQuitOnLastWindowClosed(false);
    QuorellInitAssets();

    auto bridge = MakeQtUiBridge();
    int result = 0;
    {
        Peer a("127.0.0.1", options.port, bridge);
        Peer b("127.0.0.2", options.port, bridge);
        if (!a.form->Server1.Active() || !b.form->Server1.Active()) {
            std::fprintf(stderr, "cannot listen on 127.0.0.1/127.0.0.2 port %d: %s%s\n",
                         options.port, a.dialogs.LastText().toUtf8().constData(),
                         b.dialogs.LastText().toUtf8().constData());
            result = 1;
        } else {
            std::printf(
                "bench_control_roundtrip: A 127.0.0.1 -> B 127.0.0.2, control port %d, "
                "%u hardware threads\n",
                options.port, std::thread::hardware_concurrency());
            if (options.listen_queue > 0) {
                // Diagnostic: B's control server restarted with another listen backlog.
                b.form->Server1.SetActive(false);
                b.form->Server1.ListenQueue = options.listen_queue;
                b.form->Server1.SetActive(true);
            }
            std::printf("B's control server listen backlog: %d\n", b.form->Server1.ListenQueue);
            // A connects to B as a user would; that also enables A's send button.
            a.form->Edit1->setText(QStringLiteral("127.0.0.2"));
            a.form->Button6->click();
            if (!test::WaitUntil([&] { return a.form->Button1->isEnabled() && b.ring->rings == 1; },
                                 std::chrono::seconds(10))) {
                std::fprintf(stderr, "A could not connect to B\n");
                result = 1;
            }
            if (result == 0 && options.roundtrips > 0) RoundTrip(a, b, options.roundtrips);
            if (result == 0 && options.burst > 0)
                ChannelBurst(a, b, options.burst, std::chrono::seconds(options.burst_seconds));
            if (result == 0 && options.button_sends > 0) ButtonSends(a, b, options.button_sends);
            std::printf("\nboxes: A unreachable %d, plain %d, error %d; B error %d\n",
                        a.dialogs.Count(QStringLiteral("unreachable")),
                        a.dialogs.Count(QStringLiteral("plain")),
                        a.dialogs.Count(QStringLiteral("error")),
                        b.dialogs.Count(QStringLiteral("error")));
        }
    }
    if (result == 0 && options.roundtrips > 0) result = SessionRoundTrip(options, bridge);
    bridge->Close();
    return result;
}
