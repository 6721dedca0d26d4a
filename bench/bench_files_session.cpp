// Files over the encrypted session on loopback: MB/s of one large file offered, accepted,
// written and checked, against the bare TLS 1.3 stream between two sockets with the same
// certificates. Each receiving end is a process of its own (this program again, with --serve),
// as two copies of the program would be; runs alternate between the two and the medians count.

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "files/incoming_transfer.h"
#include "files/offer_builder.h"
#include "files/outgoing_transfer.h"
#include "session/session.h"

namespace {

using namespace quorell;
using namespace quorell::session;
using bench::Clock;

constexpr int kReportFd = 3;  // the serving child's line to its parent

struct Args {
    std::uint64_t mib = 256;
    int runs = 5;
    std::string serve;     // "bare" or "session" in a child
    std::string identity;  // the child's identity folder
    std::string into;      // where the child's session saves
};

void Report(const std::string& line) {
    const std::string text = line + "\n";
    (void)!::write(kReportFd, text.data(), text.size());
}

SessionOptions Options(const char* address) {
    SessionOptions o;
    o.bind_address = address;
    o.port = 0;
    o.capabilities = {"chat", "events", kFileCapability};
    return o;
}

// Hands messages of the session to a transfer.
struct ToTransfer : ISessionHandler {
    std::function<void(const FileMessage&)> to;
    std::function<void()> closed;
    void SessionMessage(const Message& m) override {
        if (const auto* f = std::get_if<FileMessage>(&m)) to(*f);
    }
    void SessionClosed(Ended, const std::string&) override {
        if (closed) closed();
    }
};

// The receiving end of one session run: accepts the offer that comes into `into` and says
// whether every file was saved.
int ServeSession(const Identity& identity, const std::string& into) {
    SessionService service(identity, Options("127.0.0.1"));
    std::mutex mu;
    std::condition_variable cv;
    std::shared_ptr<Session> session;
    service.SetIncoming([&](std::shared_ptr<Session> s) {
        std::lock_guard lock(mu);
        session = std::move(s);
        cv.notify_all();
    });
    std::string error;
    if (!service.Listen(error)) return 2;
    Report("port " + std::to_string(service.Port()));
    {
        std::unique_lock lock(mu);
        if (!cv.wait_for(lock, std::chrono::seconds(10), [&] { return session != nullptr; }))
            return 3;
    }
    files::SessionPipe pipe(session);
    files::IncomingTransfer* in_ptr = nullptr;
    files::IncomingCallbacks callbacks;
    callbacks.offered = [&](const files::IncomingOffer&) {
        std::string e;
        in_ptr->Accept(into, e);
    };
    bool ok = false;
    callbacks.ended = [&](const files::IncomingResult& r) {
        ok = r.end == files::TransferEnd::kFinished && !r.files.empty();
        for (const auto& f : r.files) ok = ok && f.ok();
    };
    files::IncomingTransfer in(pipe, callbacks);
    in_ptr = &in;
    auto handler = std::make_shared<ToTransfer>();
    handler->to = [&](const FileMessage& m) { in.OnMessage(m); };
    handler->closed = [&] { in.Cancel("the session ended"); };
    session->Start(handler);
    const bool ended = in.Wait(std::chrono::minutes(5));
    // The sender closes once it has every verdict.
    for (int i = 0; i < 200 && session->IsOpen(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    session->Close();
    Report("cpu " + std::to_string(bench::ProcessorSeconds()) + (ended && ok ? " ok" : " failed"));
    return ended && ok ? 0 : 4;
}

int Serve(const Args& args) {
    std::string error;
    auto identity = Identity::LoadOrCreate(args.identity, error);
    if (!identity) return 2;
    if (args.serve == "session") return ServeSession(*identity, args.into);
    const bool ok = bench::BareStreamReceive(*identity, args.mib * 1024 * 1024, [](int port) {
        Report("port " + std::to_string(port));
    });
    Report("cpu " + std::to_string(bench::ProcessorSeconds()) + (ok ? " ok" : " failed"));
    return ok ? 0 : 4;
}

// A serving child and the lines it reports.
class Child {
public:
    Child(const Args& args, const std::string& mode, const std::string& identity,
          const std::string& into) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(fds[1], kReportFd);  // dup2 clears close-on-exec
            const std::string mib = "--mib=" + std::to_string(args.mib);
            const std::string serve = "--serve=" + mode, id = "--identity=" + identity,
                              to = "--into=" + into;
            ::execl("/proc/self/exe", "bench_files_session", serve.c_str(), mib.c_str(), id.c_str(),
                    to.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(fds[1]);
        in_ = ::fdopen(fds[0], "r");
    }
    ~Child() {
        if (in_) std::fclose(in_);
        if (pid_ > 0) ::waitpid(pid_, nullptr, 0);
    }
    // The next line's value after `key`, or -1.
    double Next(const char* key, bool* ok = nullptr) {
        char line[256];
        if (!in_ || !std::fgets(line, sizeof line, in_)) return -1;
        const std::string text = line;
        if (text.rfind(key, 0) != 0) return -1;
        if (ok) *ok = text.find(" ok") != std::string::npos;
        return std::atof(text.c_str() + std::strlen(key));
    }

private:
    pid_t pid_ = -1;
    std::FILE* in_ = nullptr;
};

struct Run {
    double seconds = -1;
    double cpu_sender = 0;
    double cpu_receiver = 0;
};

Run BareRun(const Args& args, const Identity& a, const std::string& b_folder) {
    Run run;
    Child child(args, "bare", b_folder, "");
    const double port = child.Next("port ");
    if (port <= 0) return run;
    const double cpu_before = bench::ProcessorSeconds();
    const double seconds = bench::BareStreamSend(a, static_cast<int>(port), args.mib * 1024 * 1024);
    run.cpu_sender = bench::ProcessorSeconds() - cpu_before;
    bool ok = false;
    run.cpu_receiver = child.Next("cpu ", &ok);
    if (ok) run.seconds = seconds;
    return run;
}

Run SessionRun(const Args& args, const Identity& a, const std::string& b_folder,
               const files::Offer& offer, const std::string& into) {
    Run run;
    Child child(args, "session", b_folder, into);
    const double port = child.Next("port ");
    if (port <= 0) return run;
    const double cpu_before = bench::ProcessorSeconds();
    bool ok = false, ended = false;
    {
        SessionService dialler(a, Options("127.0.0.2"));
        std::string error;
        auto session = dialler.Dial(*net::Address::Parse("127.0.0.1"),
                                    static_cast<std::uint16_t>(port), error);
        if (!session) return run;
        files::SessionPipe pipe(session);
        files::OutgoingTransfer out(1, offer, pipe,
                                    {{}, [&](const files::OutgoingResult& r) {
                                         ok = r.end == files::TransferEnd::kFinished &&
                                              r.files.size() == 1 && r.files[0].ok();
                                     }});
        auto handler = std::make_shared<ToTransfer>();
        handler->to = [&](const FileMessage& m) { out.OnMessage(m); };
        session->Start(handler);
        const auto started = Clock::now();
        out.Start();
        ended = out.Wait(std::chrono::minutes(5));
        const double seconds = bench::MicrosBetween(started, Clock::now()) / 1e6;
        session->Close();
        if (ended && ok) run.seconds = seconds;
    }
    run.cpu_sender = bench::ProcessorSeconds() - cpu_before;
    bool saved = false;
    run.cpu_receiver = child.Next("cpu ", &saved);
    if (!saved) run.seconds = -1;
    return run;
}

std::vector<double> Field(const std::vector<Run>& runs, double Run::*field) {
    std::vector<double> out;
    for (const auto& r : runs) out.push_back(r.*field);
    return out;
}

void Print(const char* what, const std::vector<Run>& runs, double mb) {
    std::vector<double> rates;
    for (const auto& r : runs) rates.push_back(mb / r.seconds);
    std::printf(
        "%-22s median %7.1f MB/s  (min %7.1f, max %7.1f)   processor s: sender %.2f, "
        "receiver %.2f\n",
        what, bench::Median(rates), *std::min_element(rates.begin(), rates.end()),
        *std::max_element(rates.begin(), rates.end()), bench::Median(Field(runs, &Run::cpu_sender)),
        bench::Median(Field(runs, &Run::cpu_receiver)));
}

}  // namespace

int main(int argc, char** argv) {
    Args args;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--mib=", 0) == 0) args.mib = std::strtoull(arg.c_str() + 6, nullptr, 10);
        if (arg.rfind("--runs=", 0) == 0) args.runs = std::max(1, std::atoi(arg.c_str() + 7));
        if (arg.rfind("--serve=", 0) == 0) args.serve = arg.substr(8);
        if (arg.rfind("--identity=", 0) == 0) args.identity = arg.substr(11);
        if (arg.rfind("--into=", 0) == 0) args.into = arg.substr(7);
    }
    if (!args.serve.empty()) return Serve(args);

    bench::Folder fa, fb, source;
    std::string error;
    auto a = Identity::LoadOrCreate(fa.path, error);
    if (!a || !Identity::LoadOrCreate(fb.path, error)) return 1;
    const std::uint64_t bytes = args.mib * 1024 * 1024;
    const std::string path = source.path + "/big.bin";
    {
        std::ofstream out(path, std::ios::binary);
        const std::string block(1024 * 1024, '\x5A');
        for (std::uint64_t done = 0; done < bytes; done += block.size()) out << block;
    }
    auto offer = files::BuildOffer({path}, error);
    if (!offer) return 1;

    // One round of each first, not counted: the memory the page cache and the buffers use is
    // then touched already (the first touch of a page costs far more in a virtual machine).
    std::vector<Run> bare, session;
    for (int i = -1; i < args.runs; ++i) {
        const Run b = BareRun(args, *a, fb.path);
        bench::Folder dest;
        const Run s = SessionRun(args, *a, fb.path, *offer, dest.path);
        if (b.seconds < 0 || s.seconds < 0) {
            std::fprintf(stderr, "run %d failed (bare %.3f s, session %.3f s)\n", i, b.seconds,
                         s.seconds);
            return 1;
        }
        if (i < 0) continue;
        bare.push_back(b);
        session.push_back(s);
        std::printf("run %d: bare %7.1f MB/s, session %7.1f MB/s\n", i + 1,
                    static_cast<double>(bytes) / 1e6 / b.seconds,
                    static_cast<double>(bytes) / 1e6 / s.seconds);
    }
    const double mb = static_cast<double>(bytes) / 1e6;
    std::printf("%llu MiB, %d runs each, receiving ends in their own processes\n",
                static_cast<unsigned long long>(args.mib), args.runs);
    Print("bare TLS 1.3 stream", bare, mb);
    Print("file over the session", session, mb);
    std::printf(
        "ratio of medians %.2f (session / bare; the file written and hashed)\n",
        bench::Median(Field(bare, &Run::seconds)) / bench::Median(Field(session, &Run::seconds)));
    return 0;
}
