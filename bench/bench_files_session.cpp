// Files over the encrypted session on loopback: MB/s of one large file offered, accepted,
// written and checked, against the bare TLS 1.3 stream between two sockets with the same
// certificates.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>

#include "bench_support.h"
#include "files/incoming_transfer.h"
#include "files/offer_builder.h"
#include "files/outgoing_transfer.h"
#include "session/session.h"
#include "session/tls.h"

namespace {

using namespace quorell;
using namespace quorell::session;
using bench::Clock;

struct Folder {
    std::string path;
    Folder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "quorell-XXXXXX").string();
        path = ::mkdtemp(pattern.data()) ? pattern : std::string();
    }
    ~Folder() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
};

sockaddr_in At(const char* address, int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    inet_pton(AF_INET, address, &a.sin_addr);
    return a;
}

// `bytes` written in 256 KiB pieces through a bare TLS 1.3 stream and read at the other end.
// Seconds, or -1.
double BareStream(const Identity& a, const Identity& b, std::uint64_t bytes) {
    std::string error;
    SslCtxPtr client = MakeTlsContext(false, a, error), server = MakeTlsContext(true, b, error);
    UniqueFd listener(socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in bound = At("127.0.0.1", 0);
    socklen_t length = sizeof bound;
    if (!client || !server ||
        bind(listener.get(), reinterpret_cast<const sockaddr*>(&bound), sizeof bound) != 0 ||
        listen(listener.get(), 1) != 0 ||
        getsockname(listener.get(), reinterpret_cast<sockaddr*>(&bound), &length) != 0)
        return -1;
    std::uint64_t got = 0;
    std::thread reader([&] {
        UniqueFd fd(accept(listener.get(), nullptr, nullptr));
        SslPtr ssl(SSL_new(server.get()));
        SSL_set_fd(ssl.get(), fd.get());
        if (SSL_accept(ssl.get()) != 1) return;
        std::string buffer(256 * 1024, '\0');
        while (got < bytes) {
            const int r = SSL_read(ssl.get(), buffer.data(), static_cast<int>(buffer.size()));
            if (r <= 0) return;
            got += static_cast<std::uint64_t>(r);
        }
    });
    UniqueFd fd(socket(AF_INET, SOCK_STREAM, 0));
    const sockaddr_in from = At("127.0.0.2", 0);
    bool ok = bind(fd.get(), reinterpret_cast<const sockaddr*>(&from), sizeof from) == 0 &&
              connect(fd.get(), reinterpret_cast<const sockaddr*>(&bound), sizeof bound) == 0;
    SslPtr ssl(SSL_new(client.get()));
    SSL_set_fd(ssl.get(), fd.get());
    ok = ok && SSL_connect(ssl.get()) == 1;
    const std::string chunk(256 * 1024, '\x5A');
    const auto started = Clock::now();
    // The context may allow partial writes: count what each write took.
    for (std::uint64_t sent = 0; ok && sent < bytes;) {
        const int w =
            SSL_write(ssl.get(), chunk.data(),
                      static_cast<int>(std::min<std::uint64_t>(chunk.size(), bytes - sent)));
        ok = w > 0;
        if (ok) sent += static_cast<std::uint64_t>(w);
    }
    if (!ok) ::shutdown(fd.get(), SHUT_RDWR);
    reader.join();
    const double seconds = bench::MicrosBetween(started, Clock::now()) / 1e6;
    return ok && got >= bytes ? seconds : -1;
}

struct Handoff {
    std::mutex mu;
    std::condition_variable cv;
    std::shared_ptr<Session> session;
    void Put(std::shared_ptr<Session> s) {
        std::lock_guard lock(mu);
        session = std::move(s);
        cv.notify_all();
    }
    std::shared_ptr<Session> Take() {
        std::unique_lock lock(mu);
        cv.wait_for(lock, std::chrono::seconds(5), [&] { return session != nullptr; });
        return std::exchange(session, nullptr);
    }
};

struct ToTransfer : ISessionHandler {
    std::function<void(const FileMessage&)> to;
    void SessionMessage(const Message& m) override {
        if (const auto* f = std::get_if<FileMessage>(&m)) to(*f);
    }
    void SessionClosed(Ended, const std::string&) override {}
};

// One file of `bytes` offered and received over a session. Seconds, or -1.
double OverSession(const Identity& a, const Identity& b, std::uint64_t bytes) {
    Folder source, dest;
    const std::string path = source.path + "/big.bin";
    {
        std::ofstream out(path, std::ios::binary);
        const std::string block(1024 * 1024, '\x5A');
        for (std::uint64_t done = 0; done < bytes; done += block.size()) out << block;
    }
    SessionOptions oa, ob;
    oa.bind_address = "127.0.0.2";
    ob.bind_address = "127.0.0.1";
    oa.port = ob.port = 0;
    oa.capabilities = ob.capabilities = {"chat", "events", kFileCapability};
    SessionService dialler(a, oa), listener(b, ob);
    Handoff handoff;
    listener.SetIncoming([&](std::shared_ptr<Session> s) { handoff.Put(std::move(s)); });
    std::string error;
    if (!listener.Listen(error)) return -1;
    auto mine = dialler.Dial(*net::Address::Parse("127.0.0.1"), listener.Port(), error);
    auto theirs = handoff.Take();
    auto offer = files::BuildOffer({path}, error);
    if (!mine || !theirs || !offer) return -1;

    files::SessionPipe to_theirs(mine), to_mine(theirs);
    files::IncomingTransfer* in_ptr = nullptr;
    files::IncomingCallbacks ic;
    ic.offered = [&](const files::IncomingOffer&) {
        std::string e;
        in_ptr->Accept(dest.path, e);
    };
    files::IncomingTransfer in(to_mine, ic);
    in_ptr = &in;
    bool ok = false;
    files::OutgoingTransfer out(1, *offer, to_theirs,
                                {{}, [&](const files::OutgoingResult& r) {
                                     ok = r.end == files::TransferEnd::kFinished &&
                                          r.files.size() == 1 && r.files[0].ok();
                                 }});
    auto h_in = std::make_shared<ToTransfer>(), h_out = std::make_shared<ToTransfer>();
    h_in->to = [&](const FileMessage& m) { in.OnMessage(m); };
    h_out->to = [&](const FileMessage& m) { out.OnMessage(m); };
    theirs->Start(h_in);
    mine->Start(h_out);
    const auto started = Clock::now();
    out.Start();
    const bool ended = out.Wait(std::chrono::minutes(5)) && in.Wait(std::chrono::minutes(1));
    const double seconds = bench::MicrosBetween(started, Clock::now()) / 1e6;
    mine->Close();
    theirs->Close();
    return ended && ok ? seconds : -1;
}

}  // namespace

int main(int argc, char** argv) {
    std::uint64_t mib = 256;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--mib=", 0) == 0) mib = std::strtoull(arg.c_str() + 6, nullptr, 10);
    }
    Folder fa, fb;
    std::string error;
    auto a = Identity::LoadOrCreate(fa.path, error);
    auto b = Identity::LoadOrCreate(fb.path, error);
    if (!a || !b) return 1;
    const std::uint64_t bytes = mib * 1024 * 1024;
    const double bare = BareStream(*a, *b, bytes);
    const double session = OverSession(*a, *b, bytes);
    if (bare < 0 || session < 0) {
        std::fprintf(stderr, "a run failed (bare %.3f s, session %.3f s)\n", bare, session);
        return 1;
    }
    const double mb = static_cast<double>(bytes) / 1e6;
    std::printf("bare TLS 1.3 stream       %8.1f MB/s  (%llu MiB in %.3f s)\n", mb / bare,
                static_cast<unsigned long long>(mib), bare);
    std::printf("file over the session     %8.1f MB/s  (%llu MiB in %.3f s, written and hashed)\n",
                mb / session, static_cast<unsigned long long>(mib), session);
    std::printf("ratio %.2f\n", bare / session);
    return 0;
}
