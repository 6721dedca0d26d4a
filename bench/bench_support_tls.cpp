// The bare TLS 1.3 stream of bench_support.h.

#include <string>

#include "bench_support.h"
#include "session/identity.h"
#include "session/tls.h"

namespace quorell::bench {
namespace {

using session::SslPtr;
using session::UniqueFd;

}  // namespace

bool BareStreamReceive(const Identity& identity, std::uint64_t bytes,
                       const std::function<void(int port)>& listening) {
    std::string error;
    session::SslCtxPtr ctx = session::MakeTlsContext(true, identity, error);
    UniqueFd listener(socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in bound = At("127.0.0.1", 0);
    socklen_t length = sizeof bound;
    if (!ctx ||
        bind(listener.get(), reinterpret_cast<const sockaddr*>(&bound), sizeof bound) != 0 ||
        listen(listener.get(), 1) != 0 ||
        getsockname(listener.get(), reinterpret_cast<sockaddr*>(&bound), &length) != 0)
        return false;
    listening(ntohs(bound.sin_port));
    UniqueFd fd(accept(listener.get(), nullptr, nullptr));
    NoDelay(fd.get());
    SslPtr ssl(SSL_new(ctx.get()));
    SSL_set_fd(ssl.get(), fd.get());
    if (SSL_accept(ssl.get()) != 1) return false;
    std::string buffer(256 * 1024, '\0');
    for (std::uint64_t got = 0; got < bytes;) {
        const int r = SSL_read(ssl.get(), buffer.data(), static_cast<int>(buffer.size()));
        if (r <= 0) return false;
        got += static_cast<std::uint64_t>(r);
    }
    const char done = 'k';
    const bool ok = SSL_write(ssl.get(), &done, 1) == 1;
    SSL_shutdown(ssl.get());
    return ok;
}

double BareStreamSend(const Identity& identity, int port, std::uint64_t bytes) {
    std::string error;
    session::SslCtxPtr ctx = session::MakeTlsContext(false, identity, error);
    if (!ctx) return -1;
    UniqueFd fd(socket(AF_INET, SOCK_STREAM, 0));
    const sockaddr_in from = At("127.0.0.2", 0), to = At("127.0.0.1", port);
    bool ok = bind(fd.get(), reinterpret_cast<const sockaddr*>(&from), sizeof from) == 0 &&
              connect(fd.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0;
    NoDelay(fd.get());
    SslPtr ssl(SSL_new(ctx.get()));
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
    char done = 0;
    ok = ok && SSL_read(ssl.get(), &done, 1) == 1 && done == 'k';
    const double seconds = MicrosBetween(started, Clock::now()) / 1e6;
    return ok ? seconds : -1;
}

}  // namespace quorell::bench
