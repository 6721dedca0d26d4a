// The kept chat history: how fast a peer's last screen comes back, what a big history costs at
// start-up, and how fast lines are written.
//
//   [0] 100,000 lines handed to the keeper one by one (as the window does), then written; the
//       database's size.
//   [1] Two windows on loopback, A keeping its history in that database: A's connect button
//       pressed until A's history shows the latest kept line (the last screen, 100 lines), and
//       "显示更早的聊天记录" until the next page is shown. A is made anew for every run.
//   [2] The store alone with 1,000,000 lines of one peer: the last page, a page from the middle,
//       a search that finds nothing (the whole peer's lines read) and a count, all of which the
//       window runs on the keeper's thread.
//   [3] Fresh processes building the window with keeping on: start-up to the first paint and
//       resident memory after 2 s idle, with the 100,000-line database against an empty folder.
//
// Prints figures; it never judges them.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/devices.h"
#include "app/form1.h"
#include "app/qt_bridge.h"
#include "bench_support.h"
#include "keep/history_keeper.h"
#include "support/fakes.h"
#include "support/wait.h"

extern char** environ;

using namespace quorell;
using namespace quorell::bench;

namespace {

constexpr int kLines = 100000;
constexpr int kMillion = 1000000;
constexpr int kPort = 22201;
constexpr int kChildPort = 22203;
constexpr int kRuns = 10;
const std::string kPeerKey = "ip:127.0.0.2";

keep::Record Line(int i) {
    keep::Record record;
    record.time_ms = 1700000000000LL + i * 1000LL;
    record.kind = i % 2 ? keep::Kind::kPeer : keep::Kind::kOwn;
    record.text = "history line " + std::to_string(i) + " 你好，这是一行普通长度的聊天内容。";
    return record;
}

long long NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

struct Window {
    Window(const std::string& address, int port, std::shared_ptr<UiBridge> bridge,
           const std::string& history_folder) {
        devices.ring = std::make_unique<test::FakeRingPlayer>();
        StartupConfig config;
        config.session_port = 0;
        config.bind_address = address;
        config.control_port = port;
        config.keep_history = !history_folder.empty();
        config.history_folder = history_folder;
        form = std::make_unique<TForm1>(config, devices, dialogs, std::move(bridge));
        form->show();
    }
    test::FakeDialogs dialogs;
    DeviceContext devices;
    std::unique_ptr<TForm1> form;
};

// ---------------------------------------------------------------------------------------------
// [3]'s child: the window with keeping on, its first paint and its memory when idle.

class FirstPaint : public QObject {
public:
    long long painted_ns = 0;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint && painted_ns == 0) {
            painted_ns = NowNs();
            QTimer::singleShot(0, [] { QCoreApplication::quit(); });
        }
        return QObject::eventFilter(watched, event);
    }
};

int RunChild(long long spawn_ns, const std::string& folder, bool idle) {
    int argc = 1;
    char name[] = "bench_history";
    char* argv[] = {name, nullptr};
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quorell"));
    QApplication::setQuitOnLastWindowClosed(false);
    auto bridge = MakeQtUiBridge();
    {
        test::FakeDialogs dialogs;
        DeviceContext devices;
        devices.ring = std::make_unique<test::FakeRingPlayer>();
        StartupConfig config;
        config.session_port = 0;
        config.bind_address = "127.0.0.1";
        config.control_port = kChildPort;
        config.keep_history = true;
        config.history_folder = folder;
        TForm1 form(config, devices, dialogs, bridge);
        FirstPaint watch;
        form.installEventFilter(&watch);
        QTimer::singleShot(10000, [] { QCoreApplication::quit(); });
        form.show();
        QApplication::exec();
        std::printf("painted=%lld\n", watch.painted_ns ? (watch.painted_ns - spawn_ns) / 1000 : -1);
        if (idle) {
            QTimer::singleShot(std::chrono::seconds(2), [] { QCoreApplication::quit(); });
            QApplication::exec();
            std::printf("rss_kb=%ld\n", StatusFieldKb("/proc/self/status", "VmRSS"));
        }
    }
    bridge->Close();
    std::fflush(stdout);
    return 0;
}

std::map<std::string, long long> RunOneChild(const std::string& folder, bool idle) {
    std::map<std::string, long long> values;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return values;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    const std::string spawn = std::to_string(NowNs());
    std::vector<std::string> args = {"/proc/self/exe", "--child", spawn, folder,
                                     idle ? "idle" : "once"};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int err = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (err != 0) {
        close(fds[0]);
        return values;
    }
    std::string output;
    char buffer[1024];
    for (;;) {
        pollfd p{fds[0], POLLIN, 0};
        if (poll(&p, 1, 20000) <= 0) break;
        const ssize_t n = read(fds[0], buffer, sizeof buffer);
        if (n <= 0) break;
        output.append(buffer, static_cast<std::size_t>(n));
    }
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    std::istringstream in(output);
    std::string word;
    while (in >> word) {
        const auto eq = word.find('=');
        if (eq != std::string::npos) values[word.substr(0, eq)] = std::atoll(word.c_str() + eq + 1);
    }
    return values;
}

// ---------------------------------------------------------------------------------------------

void Fill(const std::string& folder) {
    std::printf("\n[0] %d lines handed to the keeper one by one, then written\n", kLines);
    const auto start = Clock::now();
    double handed_us = 0;
    {
        keep::HistoryKeeper keeper({folder + "/history.sqlite3"}, nullptr);
        for (int i = 0; i < kLines; ++i) keeper.Append(kPeerKey, Line(i));
        handed_us = MicrosBetween(start, Clock::now());
        keeper.Flush(std::chrono::minutes(2));
    }
    const double total_us = MicrosBetween(start, Clock::now());
    std::printf("    handing over: %.1f ms (%.2f us a line, the window's share)\n",
                handed_us / 1000, handed_us / kLines);
    std::printf("    until written: %.1f ms (%.0f lines/s)\n", total_us / 1000,
                kLines / (total_us / 1e6));
    std::printf("    database: %.1f MB\n",
                std::filesystem::file_size(folder + "/history.sqlite3") / 1e6);
}

void LastScreen(const std::string& folder) {
    std::printf(
        "\n[1] windows on loopback: connect pressed -> last screen of %d kept lines shown\n",
        kLines);
    auto bridge = MakeQtUiBridge();
    Window b("127.0.0.2", kPort, bridge, {});
    std::vector<double> shown_ms, older_ms;
    for (int r = 0; r < kRuns; ++r) {
        Window a("127.0.0.1", kPort, bridge, folder);
        // The keeper opens its database on its own thread meanwhile.
        test::Settle(std::chrono::milliseconds(200));
        a.form->Edit1->setText(QStringLiteral("127.0.0.2"));
        const auto start = Clock::now();
        a.form->Button6->click();
        const QString latest = QStringLiteral("history line %1 ").arg(kLines - 1);
        if (!test::WaitUntil([&] { return a.form->Memo1->toPlainText().contains(latest); },
                             std::chrono::seconds(5))) {
            std::printf("    run %d: not shown\n", r + 1);
            continue;
        }
        shown_ms.push_back(MicrosBetween(start, Clock::now()) / 1000);
        std::unique_ptr<QMenu> menu(a.form->MakeHistoryMenu());
        const QString older_line = QStringLiteral("history line %1 ").arg(kLines - 101);
        for (QAction* action : menu->actions()) {
            if (action->text() != QStringLiteral("显示更早的聊天记录")) continue;
            const auto asked = Clock::now();
            action->trigger();
            if (test::WaitUntil([&] { return a.form->Memo1->toPlainText().contains(older_line); },
                                std::chrono::seconds(5)))
                older_ms.push_back(MicrosBetween(asked, Clock::now()) / 1000);
        }
        menu.reset();
        std::printf("    run %2d: last screen %.2f ms, the page before it %.2f ms\n", r + 1,
                    shown_ms.back(), older_ms.empty() ? -1.0 : older_ms.back());
    }
    if (!shown_ms.empty())
        std::printf("    last screen: median %.2f ms, max %.2f ms; older page: median %.2f ms\n",
                    Median(shown_ms), Percentile(shown_ms, 100), Median(older_ms));
    bridge->Close();
}

void Million(const std::string& folder) {
    std::printf("\n[2] the store with %d lines of one peer\n", kMillion);
    keep::HistoryStore store;
    if (const std::string error = store.Open(folder + "/history.sqlite3"); !error.empty()) {
        std::printf("    cannot open: %s\n", error.c_str());
        return;
    }
    const auto start = Clock::now();
    std::vector<std::pair<std::string, keep::Record>> batch;
    for (int i = 0; i < kMillion; ++i) {
        batch.emplace_back("ip:10.0.0.9", Line(i));
        if (batch.size() == 10000) {
            store.Append(batch);
            batch.clear();
        }
    }
    std::printf("    written in batches of 10,000: %.1f s, %.1f MB\n",
                MicrosBetween(start, Clock::now()) / 1e6,
                std::filesystem::file_size(folder + "/history.sqlite3") / 1e6);
    const auto time = [](const char* what, auto body) {
        std::vector<double> us;
        for (int r = 0; r < 5; ++r) {
            const auto t = Clock::now();
            body();
            us.push_back(MicrosBetween(t, Clock::now()));
        }
        std::printf("    %-44s median %9.2f ms\n", what, Median(us) / 1000);
    };
    time("last page (100 lines)", [&] { store.LoadLast("ip:10.0.0.9", 100); });
    time("a page from the middle (100 lines)",
         [&] { store.LoadBefore("ip:10.0.0.9", 500000, 100); });
    time("search that finds nothing (all lines read)",
         [&] { store.Search("ip:10.0.0.9", "无此内容", 50); });
    time("count", [&] { store.Count("ip:10.0.0.9"); });
}

void StartUp(const std::string& full, const std::string& empty) {
    std::printf(
        "\n[3] start-up to first paint and idle memory, keeping on (%d fresh processes each)\n",
        kRuns);
    std::map<std::string, double> painted, rss;
    for (const auto& [name, folder] :
         {std::pair{"empty", empty}, std::pair{"100,000 lines", full}}) {
        std::vector<double> ms;
        for (int r = 0; r < kRuns; ++r) {
            auto values = RunOneChild(folder, false);
            if (values.count("painted") && values["painted"] > 0)
                ms.push_back(values["painted"] / 1000.0);
        }
        auto idle = RunOneChild(folder, true);
        painted[name] = Median(ms);
        rss[name] = static_cast<double>(idle["rss_kb"]);
        std::printf(
            "    %-14s first paint median %.1f ms (min %.1f, max %.1f); VmRSS after 2 s idle %ld "
            "kB\n",
            name, Median(ms), ms.empty() ? 0 : Percentile(ms, 0),
            ms.empty() ? 0 : Percentile(ms, 100), static_cast<long>(idle["rss_kb"]));
    }
    std::printf("    ratio 100,000 lines / empty: first paint %.2fx, memory %.2fx\n",
                painted["100,000 lines"] / painted["empty"], rss["100,000 lines"] / rss["empty"]);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::strcmp(argv[1], "--child") == 0)
        return RunChild(std::atoll(argv[2]), argv[3], std::strcmp(argv[4], "idle") == 0);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    std::string temp = std::filesystem::temp_directory_path() / "quorell-bench-history-XXXXXX";
    if (!mkdtemp(temp.data())) {
        std::perror("mkdtemp");
        return 1;
    }
    setenv("XDG_RUNTIME_DIR", temp.c_str(), 1);
    const std::string full = temp + "/full", empty = temp + "/empty", million = temp + "/million";
    std::filesystem::create_directories(full);
    std::filesystem::create_directories(million);
    int app_argc = 1;
    QApplication app(app_argc, argv);
    Fill(full);
    LastScreen(full);
    Million(million);
    StartUp(full, empty);
    std::error_code ignored;
    std::filesystem::remove_all(temp, ignored);
    return 0;
}
