// The encrypted session on loopback: how long opening one takes against a bare TLS 1.3 mutual
// handshake with the same certificates, and the round trip of a chat message inside it.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "bench_support.h"
#include "session/session.h"
#include "session/tls.h"

namespace {

using namespace quorell;
using namespace quorell::session;
using bench::At;
using bench::Clock;
using bench::Folder;
using bench::NoDelay;

std::optional<Identity> MakeIdentity(const Folder& folder) {
    std::string error;
    auto id = Identity::LoadOrCreate(folder.path, error);
    if (!id) std::fprintf(stderr, "identity: %s\n", error.c_str());
    return id;
}

// The accepting end of the bare handshakes: one thread for all of them, as the session's
// listener has one accept thread.
struct BareServer {
    int listener = -1;
    SSL_CTX* ctx = nullptr;
    int count = 0;
    std::atomic<int> failed{0};
    std::thread thread;
    void Begin() {
        thread = std::thread([this] {
            for (int i = 0; i < count; ++i) {
                UniqueFd fd(accept(listener, nullptr, nullptr));
                NoDelay(fd.get());
                SslPtr ssl(SSL_new(ctx));
                SSL_set_fd(ssl.get(), fd.get());
                char byte = 0;
                if (SSL_accept(ssl.get()) != 1 || SSL_read(ssl.get(), &byte, 1) != 1 ||
                    SSL_write(ssl.get(), &byte, 1) != 1)
                    ++failed;
            }
        });
    }
};

// One bare TLS 1.3 mutual handshake over a fresh loopback connection, with a byte each way so
// that the server has checked the client's certificate too. Microseconds, or -1.
double BareHandshake(int port, SSL_CTX* client) {
    const auto started = Clock::now();
    UniqueFd fd(socket(AF_INET, SOCK_STREAM, 0));
    const sockaddr_in from = At("127.0.0.2", 0), to = At("127.0.0.1", port);
    bool ok = bind(fd.get(), reinterpret_cast<const sockaddr*>(&from), sizeof from) == 0 &&
              connect(fd.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0;
    NoDelay(fd.get());
    SslPtr ssl(SSL_new(client));
    SSL_set_fd(ssl.get(), fd.get());
    char byte = 'x';
    ok = ok && SSL_connect(ssl.get()) == 1 && SSL_write(ssl.get(), &byte, 1) == 1 &&
         SSL_read(ssl.get(), &byte, 1) == 1;
    return ok ? bench::MicrosBetween(started, Clock::now()) : -1;
}

// Hands out what the listening service gives.
struct Handoff {
    std::mutex mu;
    std::condition_variable cv;
    std::shared_ptr<Session> session;
    Clock::time_point at;
    void Put(std::shared_ptr<Session> s) {
        std::lock_guard lock(mu);
        at = Clock::now();
        session = std::move(s);
        cv.notify_all();
    }
    std::shared_ptr<Session> Take(Clock::time_point& when) {
        std::unique_lock lock(mu);
        cv.wait_for(lock, std::chrono::seconds(5), [&] { return session != nullptr; });
        when = at;
        return std::exchange(session, nullptr);
    }
};

struct Echo : ISessionHandler {
    std::shared_ptr<Session> back;
    void SessionMessage(const Message& m) override { back->Send(m); }
    void SessionClosed(Ended, const std::string&) override {}
};

struct Waiter : ISessionHandler {
    std::mutex mu;
    std::condition_variable cv;
    std::size_t got = 0;
    void SessionMessage(const Message&) override {
        std::lock_guard lock(mu);
        ++got;
        cv.notify_all();
    }
    void SessionClosed(Ended, const std::string&) override {}
    bool WaitFor(std::size_t count) {
        std::unique_lock lock(mu);
        return cv.wait_for(lock, std::chrono::seconds(5), [&] { return got >= count; });
    }
};

void Print(const char* what, const std::vector<double>& us) {
    std::printf("%-34s median %8.1f us   p90 %8.1f us   (n=%zu)\n", what, bench::Median(us),
                bench::Percentile(us, 90), us.size());
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = 200, trips = 1000;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--rounds=", 0) == 0) rounds = std::atoi(arg.c_str() + 9);
        if (arg.rfind("--trips=", 0) == 0) trips = std::atoi(arg.c_str() + 8);
    }
    Folder fa, fb;
    auto a = MakeIdentity(fa), b = MakeIdentity(fb);
    if (!a || !b) return 1;

    SessionOptions oa, ob;
    oa.bind_address = "127.0.0.2";
    ob.bind_address = "127.0.0.1";
    oa.port = ob.port = 0;
    oa.own_name = "bench-a";
    ob.own_name = "bench-b";
    SessionService dialler(*a, oa), listener(*b, ob);
    Handoff handoff;
    listener.SetIncoming([&](std::shared_ptr<Session> s) { handoff.Put(std::move(s)); });
    std::string error;
    if (!listener.Listen(error)) {
        std::fprintf(stderr, "listen: %s\n", error.c_str());
        return 1;
    }

    // Interleaved, so that both see the same machine.
    std::string ctx_error;
    SslCtxPtr client = MakeTlsContext(false, *a, ctx_error);
    SslCtxPtr server = MakeTlsContext(true, *b, ctx_error);
    const sockaddr_in bare_at = At("127.0.0.1", 0);
    UniqueFd bare(socket(AF_INET, SOCK_STREAM, 0));
    socklen_t length = sizeof bare_at;
    sockaddr_in bound = bare_at;
    if (!client || !server ||
        bind(bare.get(), reinterpret_cast<const sockaddr*>(&bare_at), sizeof bare_at) != 0 ||
        listen(bare.get(), 16) != 0 ||
        getsockname(bare.get(), reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
        std::fprintf(stderr, "bare TLS set-up failed %s\n", ctx_error.c_str());
        return 1;
    }
    const int bare_port = ntohs(bound.sin_port);

    BareServer bare_server;
    bare_server.listener = bare.get();
    bare_server.ctx = server.get();
    bare_server.count = rounds;
    bare_server.Begin();
    std::vector<double> opening, dialled, handshake;
    for (int i = 0; i < rounds; ++i) {
        const double h = BareHandshake(bare_port, client.get());
        if (h < 0) {
            std::fprintf(stderr, "bare handshake failed\n");
            return 1;
        }
        handshake.push_back(h);
        const auto started = Clock::now();
        auto mine = dialler.Dial(*net::Address::Parse("127.0.0.1"), listener.Port(), error);
        dialled.push_back(bench::MicrosBetween(started, Clock::now()));
        Clock::time_point handed;
        auto theirs = handoff.Take(handed);
        if (!mine || !theirs) {
            std::fprintf(stderr, "dial failed: %s\n", error.c_str());
            return 1;
        }
        opening.push_back(bench::MicrosBetween(started, std::max(handed, Clock::now())));
        theirs->Close();
        mine->Close();
    }
    bare_server.thread.join();
    if (bare_server.failed)
        std::fprintf(stderr, "%d bare handshakes failed\n", bare_server.failed.load());
    Print("bare TLS 1.3 mutual handshake", handshake);
    Print("session opened (Dial to handed out)", opening);
    Print("  of which Dial returned", dialled);
    std::printf("ratio of medians %.2f (target at most 1.25)\n\n",
                bench::Median(opening) / bench::Median(handshake));

    auto mine = dialler.Dial(*net::Address::Parse("127.0.0.1"), listener.Port(), error);
    Clock::time_point handed;
    auto theirs = handoff.Take(handed);
    if (!mine || !theirs) return 1;
    auto echo = std::make_shared<Echo>();
    echo->back = theirs;
    theirs->Start(echo);
    auto waiter = std::make_shared<Waiter>();
    mine->Start(waiter);
    std::vector<double> trip;
    for (int i = 0; i < trips; ++i) {
        const auto started = Clock::now();
        if (!mine->Send(Chat{"round trip " + std::to_string(i)}) ||
            !waiter->WaitFor(static_cast<std::size_t>(i) + 1)) {
            std::fprintf(stderr, "round trip %d lost\n", i);
            return 1;
        }
        trip.push_back(bench::MicrosBetween(started, Clock::now()));
    }
    Print("chat round trip", trip);
    std::printf("target: median at most 700 us\n");
    mine->Close();
    theirs->Close();
    echo->back.reset();
    return 0;
}
