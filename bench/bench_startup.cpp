// Start-up to the main window shown, and resident memory when idle.
//
// In-process: the benchmark re-executes itself several times; each child builds what main()
// builds (application object, assets, single-instance lock, bridge, ring player, TForm1 with
// its control server on a high port) and reports, in microseconds since its parent spawned it,
// when main() was entered, when the application object, the window and the first Show and
// Paint events were done. One more child then idles two seconds and reports VmRSS and VmHWM.
//
// Real program: when allowed to bind TCP port 1001 (root), the built program is started
// offscreen with a private XDG_RUNTIME_DIR, timed until its control server accepts on
// 127.0.0.1:1001 (it starts listening while the window is created, just before showing it),
// and its resident memory read after two seconds idle; then it is sent SIGTERM.
//
// Prints figures; it never judges them.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QEvent>
#include <QTimer>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
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
#include "app/single_instance.h"
#include "app/startup_config.h"
#include "assets/quorell_assets.h"
#include "bench_support.h"
#include "support/fakes.h"

extern char** environ;

using namespace quorell;
using namespace quorell::bench;

namespace {

constexpr int kChildControlPort = 22101;
constexpr int kRuns = 10;
constexpr int kRealRuns = 5;
constexpr auto kIdle = std::chrono::seconds(2);

long long NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

// ---------------------------------------------------------------------------------------------
// Child: one start-up, reported on standard output as "key=value" pairs.

class FirstShowAndPaint : public QObject {
public:
    long long shown_ns = 0;
    long long painted_ns = 0;
    std::function<void()> on_painted;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Show && shown_ns == 0) shown_ns = NowNs();
        if (event->type() == QEvent::Paint && painted_ns == 0) {
            painted_ns = NowNs();
            // Let the paint finish before leaving the loop.
            if (on_painted) QTimer::singleShot(0, on_painted);
        }
        return QObject::eventFilter(watched, event);
    }
};

int RunChild(long long spawn_ns, bool idle) {
    const long long main_ns = NowNs();
    int argc = 1;
    char name[] = "bench_startup";
    char* argv[] = {name, nullptr};
    QApplication app(argc, argv);
    const long long app_ns = NowNs();
    QApplication::setApplicationName(QStringLiteral("Quorell"));
    QApplication::setApplicationDisplayName(QString());
    QApplication::setQuitOnLastWindowClosed(false);
    QuorellInitAssets();
    SingleInstance instance(QStringLiteral("Quorell"));
    if (!instance.IsFirst()) {
        std::printf("error=another copy holds the single-instance lock\n");
        return 1;
    }

    auto bridge = MakeQtUiBridge();
    test::FakeDialogs dialogs;
    DeviceContext devices;
    devices.ring = MakeSoundEffectRingPlayer();
    int result = 0;
    {
        StartupConfig config;
        config.session_port = 0;  // the plain protocol only
        config.bind_address = "127.0.0.1";
        config.control_port = kChildControlPort;
        TForm1 form(config, devices, dialogs, bridge);
        const long long form_ns = NowNs();
        if (!form.Server1.Active()) {
            std::printf("error=%s\n", dialogs.LastText().toUtf8().constData());
            result = 1;
        } else {
            FirstShowAndPaint watch;
            form.installEventFilter(&watch);
            watch.on_painted = [] { QCoreApplication::quit(); };
            QTimer::singleShot(10000, [] { QCoreApplication::quit(); });
            form.show();
            QApplication::exec();
            auto us = [spawn_ns](long long t) { return t ? (t - spawn_ns) / 1000 : -1; };
            std::printf("main=%lld app=%lld form=%lld shown=%lld painted=%lld\n", us(main_ns),
                        us(app_ns), us(form_ns), us(watch.shown_ns), us(watch.painted_ns));
            if (idle) {
                QTimer::singleShot(kIdle, [] { QCoreApplication::quit(); });
                QApplication::exec();
                std::printf("rss_kb=%ld hwm_kb=%ld threads=%ld\n",
                            StatusFieldKb("/proc/self/status", "VmRSS"),
                            StatusFieldKb("/proc/self/status", "VmHWM"),
                            StatusFieldKb("/proc/self/status", "Threads"));
            }
        }
    }
    bridge->Close();
    std::fflush(stdout);
    return result;
}

// ---------------------------------------------------------------------------------------------
// Parent.

// Starts `argv` with its standard output on a pipe; returns the pid and the read end.
std::optional<std::pair<pid_t, int>> Spawn(const std::vector<std::string>& args,
                                           bool capture_stdout) {
    int fds[2] = {-1, -1};
    if (capture_stdout && pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (capture_stdout) posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int err = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (capture_stdout) close(fds[1]);
    if (err != 0) {
        std::fprintf(stderr, "cannot start %s: %s\n", argv[0], std::strerror(err));
        if (capture_stdout) close(fds[0]);
        return std::nullopt;
    }
    return std::make_pair(pid, fds[0]);
}

// Waits up to `timeout` for the child to end; kills it if it does not. Returns its status.
int Reap(pid_t pid, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (Clock::now() >= deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        usleep(2000);
    }
    return status;
}

std::map<std::string, long long> ParsePairs(const std::string& text, std::string* error) {
    std::map<std::string, long long> values;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("error=", 0) == 0) {
            *error = line.substr(6);
            continue;
        }
        std::istringstream words(line);
        std::string word;
        while (words >> word) {
            const auto eq = word.find('=');
            if (eq != std::string::npos)
                values[word.substr(0, eq)] = std::atoll(word.c_str() + eq + 1);
        }
    }
    return values;
}

std::optional<std::map<std::string, long long>> RunOneChild(bool idle) {
    const long long spawn_ns = NowNs();
    auto child = Spawn(
        {"/proc/self/exe", "--child", std::to_string(spawn_ns), idle ? "idle" : "once"}, true);
    if (!child) return std::nullopt;
    std::string output;
    char buffer[4096];
    for (;;) {
        pollfd p{child->second, POLLIN, 0};
        if (poll(&p, 1, 20000) <= 0) break;
        const ssize_t n = read(child->second, buffer, sizeof buffer);
        if (n <= 0) break;
        output.append(buffer, static_cast<std::size_t>(n));
    }
    close(child->second);
    const int status = Reap(child->first, std::chrono::seconds(10));
    std::string error;
    auto values = ParsePairs(output, &error);
    if (!error.empty() || !WIFEXITED(status) || WEXITSTATUS(status) != 0 ||
        !values.count("painted")) {
        std::fprintf(stderr, "start-up run failed (status %d): %s\n", status, error.c_str());
        return std::nullopt;
    }
    return values;
}

void InProcess() {
    std::printf("\n[1] in-process start-up (%d fresh processes, offscreen, control port %d)\n",
                kRuns, kChildControlPort);
    std::printf("    times in ms since the parent called posix_spawn()\n");
    std::map<std::string, std::vector<double>> samples;
    const char* keys[] = {"main", "app", "form", "shown", "painted"};
    for (int r = 0; r < kRuns; ++r) {
        auto values = RunOneChild(false);
        if (!values) continue;
        for (const char* k : keys) samples[k].push_back((*values)[k] / 1000.0);
        std::printf(
            "    run %2d: main() %6.1f  QApplication %6.1f  TForm1 %6.1f  Show %6.1f  "
            "first paint %6.1f\n",
            r + 1, (*values)["main"] / 1000.0, (*values)["app"] / 1000.0,
            (*values)["form"] / 1000.0, (*values)["shown"] / 1000.0, (*values)["painted"] / 1000.0);
    }
    const char* labels[] = {"main() entered (exec, dynamic loading)", "QApplication built",
                            "TForm1 built (server listening)", "window shown (QEvent::Show)",
                            "first paint of the window"};
    std::printf("    median over %zu runs:\n", samples["painted"].size());
    for (int i = 0; i < 5; ++i) {
        const auto& s = samples[keys[i]];
        std::printf("      %-40s %7.1f ms   (min %.1f, max %.1f)\n", labels[i], Median(s),
                    s.empty() ? 0 : Percentile(s, 0), s.empty() ? 0 : Percentile(s, 100));
    }

    std::printf("\n[2] in-process memory, window shown, after %lld s idle in the event loop\n",
                static_cast<long long>(kIdle.count()));
    if (auto values = RunOneChild(true)) {
        std::printf("      VmRSS   %7lld kB\n      VmHWM   %7lld kB\n      threads %7lld\n",
                    (*values)["rss_kb"], (*values)["hwm_kb"], (*values)["threads"]);
    }
}

bool Accepts(const char* address, int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, address, &peer.sin_addr);
    const bool ok = connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) == 0;
    close(fd);  // a connection without a line: the program's dispatcher does nothing with it
    return ok;
}

void RealProgram() {
    std::printf("\n[3] the real program: %s\n", QUORELL_PROGRAM);
    if (geteuid() != 0) {
        std::printf("    skipped: it binds TCP port 1001, which needs root here\n");
        return;
    }
    if (Accepts("127.0.0.1", 1001)) {
        std::printf("    skipped: something already listens on port 1001\n");
        return;
    }
    std::vector<double> listening_ms;
    long rss = -1, hwm = -1, threads = -1;
    for (int r = 0; r < kRealRuns; ++r) {
        const bool last = r == kRealRuns - 1;
        const auto start = Clock::now();
        auto child = Spawn({QUORELL_PROGRAM}, false);
        if (!child) return;
        const pid_t pid = child->first;
        bool up = false;
        while (Clock::now() - start < std::chrono::seconds(10)) {
            if (Accepts("127.0.0.1", 1001)) {
                up = true;
                break;
            }
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid) {
                std::printf("    run %d: the program ended before listening (status %d)\n", r + 1,
                            status);
                return;
            }
            usleep(500);
        }
        const auto up_at = Clock::now();
        if (!up) {
            std::printf("    run %d: not listening after 10 s\n", r + 1);
        } else {
            listening_ms.push_back(MicrosBetween(start, up_at) / 1000.0);
            std::printf("    run %d: listening after %6.1f ms\n", r + 1, listening_ms.back());
        }
        if (last && up) {
            std::this_thread::sleep_for(kIdle);
            const std::string status = "/proc/" + std::to_string(pid) + "/status";
            rss = StatusFieldKb(status, "VmRSS");
            hwm = StatusFieldKb(status, "VmHWM");
            threads = StatusFieldKb(status, "Threads");
        }
        kill(pid, SIGTERM);
        Reap(pid, std::chrono::seconds(3));
        // The port is free again once the process is gone; wait for that before the next run.
        const auto gone = Clock::now();
        while (Accepts("127.0.0.1", 1001) && Clock::now() - gone < std::chrono::seconds(2)) {
            usleep(1000);
        }
    }
    std::printf("    median spawn -> accepting on 127.0.0.1:1001: %.1f ms (min %.1f, max %.1f)\n",
                Median(listening_ms), listening_ms.empty() ? 0 : Percentile(listening_ms, 0),
                listening_ms.empty() ? 0 : Percentile(listening_ms, 100));
    std::printf("    after %lld s idle: VmRSS %ld kB, VmHWM %ld kB, threads %ld\n",
                static_cast<long long>(kIdle.count()), rss, hwm, threads);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--child") == 0) {
        return RunChild(std::atoll(argv[2]), std::strcmp(argv[3], "idle") == 0);
    }
    if (argc != 1) {
        std::fprintf(stderr, "usage: %s\n", argv[0]);
        return 2;
    }
    // Children and the real program run offscreen, with a single-instance lock of their own.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    std::string runtime_dir = (std::filesystem::temp_directory_path() / "quorell-bench-XXXXXX");
    if (!mkdtemp(runtime_dir.data())) {
        std::perror("mkdtemp");
        return 1;
    }
    setenv("XDG_RUNTIME_DIR", runtime_dir.c_str(), 1);
    std::printf("bench_startup: QT_QPA_PLATFORM=%s, XDG_RUNTIME_DIR=%s\n",
                std::getenv("QT_QPA_PLATFORM"), runtime_dir.c_str());
    InProcess();
    RealProgram();
    std::error_code ignored;
    std::filesystem::remove_all(runtime_dir, ignored);
    return 0;
}
