#include "session/tls.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>

#include <cstdint>
#include <cstring>

namespace quorell::session {
namespace {

// Self-signed certificates are accepted whatever their chain says: OpenSSL still makes the
// peer present one and prove it holds its key, and the fingerprint is what is trusted.
int AcceptSelfSigned(int, X509_STORE_CTX*) {
    return 1;
}

}  // namespace

SslCtxPtr MakeTlsContext(bool server, const Identity& identity, std::string& error) {
    SslCtxPtr ctx(SSL_CTX_new(server ? TLS_server_method() : TLS_client_method()));
    if (!ctx || SSL_CTX_set_min_proto_version(ctx.get(), TLS1_3_VERSION) != 1 ||
        SSL_CTX_set_max_proto_version(ctx.get(), TLS1_3_VERSION) != 1) {
        error = "cannot set up TLS: " + OpenSslErrors();
        return nullptr;
    }
    SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT,
                       AcceptSelfSigned);
    SSL_CTX_set_num_tickets(ctx.get(), 0);
    SSL_CTX_set_options(ctx.get(), SSL_OP_NO_TICKET);
    SSL_CTX_set_session_cache_mode(ctx.get(), SSL_SESS_CACHE_OFF);
    SSL_CTX_set_mode(ctx.get(),
                     SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    if (!identity.UseIn(ctx.get())) {
        error = "the identity cannot be used for TLS: " + OpenSslErrors();
        return nullptr;
    }
    return ctx;
}

bool ExportForCode(SSL* ssl, Bytes32& out) {
    static const char kLabel[] = "EXPORTER-quorell-verification-code";
    return SSL_export_keying_material(ssl, out.data(), out.size(), kLabel, sizeof kLabel - 1,
                                      nullptr, 0, 0) == 1;
}

UniqueFd MakeEventFd() {
    return UniqueFd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
}

void Signal(int event_fd) {
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(event_fd, &one, sizeof one);
}

void Drain(int event_fd) {
    std::uint64_t value = 0;
    [[maybe_unused]] ssize_t n = ::read(event_fd, &value, sizeof value);
}

bool SetNonBlocking(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

}  // namespace quorell::session

namespace quorell::session {

NoSigpipe::NoSigpipe() {
    sigset_t pipe, old;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, &old);
    was_blocked_ = sigismember(&old, SIGPIPE) == 1;
}

NoSigpipe::~NoSigpipe() {
    if (was_blocked_) return;
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    const timespec now{0, 0};
    while (sigtimedwait(&pipe, nullptr, &now) == SIGPIPE) {
    }
    pthread_sigmask(SIG_UNBLOCK, &pipe, nullptr);
}

}  // namespace quorell::session
