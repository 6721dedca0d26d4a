#include "session/opening.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <poll.h>

#include <deque>

#include "session/verification_code.h"

namespace quorell::session {

bool WaitReady(int fd, short events, Clock::time_point deadline, int cancel_fd) {
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return false;
        pollfd fds[2] = {{fd, events, 0}, {cancel_fd, POLLIN, 0}};
        const int n = poll(fds, cancel_fd >= 0 ? 2 : 1, static_cast<int>(left.count()) + 1);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (cancel_fd >= 0 && (fds[1].revents & POLLIN)) return false;
        if (fds[0].revents & (events | POLLHUP | POLLERR)) return true;
    }
}

namespace {

// The blocking side of the opening: every step waits at most until the deadline.
class Opening {
public:
    Opening(SSL* ssl, int fd, const OpeningParams& params) : ssl_(ssl), fd_(fd), p_(params) {}

    bool Run(SessionInfo& info, std::string& error);
    MessageReader& reader() { return reader_; }
    std::vector<Message> Leftover() { return {queue_.begin(), queue_.end()}; }

private:
    bool Wait(int ssl_result, const char* what);
    bool Handshake();
    bool Write(const Message& message);
    // In one TLS record when they fit.
    bool Write(const std::vector<Message>& messages);
    bool Next(Message& out);
    bool Refuse(ErrorCode code, const std::string& text);
    template <class T>
    bool Expect(T& out, const char* name);

    SSL* ssl_;
    int fd_;
    const OpeningParams& p_;
    MessageReader reader_;
    std::deque<Message> queue_;
    std::string error_;
};

bool Opening::Wait(int ssl_result, const char* what) {
    const int e = SSL_get_error(ssl_, ssl_result);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
        if (WaitReady(fd_, e == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, p_.deadline, p_.cancel_fd))
            return true;
        error_ = std::string("timed out during ") + what;
        return false;
    }
    const std::string detail = OpenSslErrors();
    if (e == SSL_ERROR_ZERO_RETURN || (e == SSL_ERROR_SYSCALL && detail.empty()))
        error_ = std::string("the peer closed the connection during ") + what;
    else
        error_ = std::string(what) + " failed" + (detail.empty() ? "" : ": " + detail);
    return false;
}

bool Opening::Handshake() {
    for (;;) {
        const int r = SSL_do_handshake(ssl_);
        if (r == 1) return true;
        if (!Wait(r, "the TLS handshake")) return false;
    }
}

bool Opening::Write(const Message& message) {
    return Write(std::vector<Message>{message});
}

bool Opening::Write(const std::vector<Message>& messages) {
    std::string bytes;
    for (const auto& m : messages) {
        const std::string one = Encode(m);
        if (one.empty()) {
            error_ = "cannot encode our own message";
            return false;
        }
        bytes += one;
    }
    std::size_t at = 0;
    while (at < bytes.size()) {
        const int r = SSL_write(ssl_, bytes.data() + at, static_cast<int>(bytes.size() - at));
        if (r > 0) {
            at += static_cast<std::size_t>(r);
        } else if (!Wait(r, "the opening")) {
            return false;
        }
    }
    return true;
}

bool Opening::Next(Message& out) {
    char buffer[16 * 1024];
    while (queue_.empty()) {
        if (reader_.error() != ReadError::kNone)
            return Refuse(ErrorCodeFor(reader_.error()),
                          "malformed message of type " + std::to_string(reader_.error_type()));
        const int r = SSL_read(ssl_, buffer, sizeof buffer);
        if (r <= 0) {
            if (!Wait(r, "the opening")) return false;
            continue;
        }
        std::vector<Message> got;
        const bool ok = reader_.Feed(std::string_view(buffer, static_cast<std::size_t>(r)), got);
        queue_.insert(queue_.end(), got.begin(), got.end());
        (void)ok;  // a broken stream is refused once the messages before the fault are taken
    }
    out = std::move(queue_.front());
    queue_.pop_front();
    return true;
}

bool Opening::Refuse(ErrorCode code, const std::string& text) {
    error_ = text;
    // Told in passing: the peer may be gone, and the deadline still holds.
    Write(Error{code, text});
    error_ = text;
    return false;
}

template <class T>
bool Opening::Expect(T& out, const char* name) {
    Message m;
    if (!Next(m)) return false;
    if (auto* wanted = std::get_if<T>(&m)) {
        out = std::move(*wanted);
        return true;
    }
    if (auto* e = std::get_if<Error>(&m)) {
        error_ = "the peer refused the session: " + e->text;
        return false;
    }
    return Refuse(ErrorCode::kVerificationFailed, std::string(name) + " expected");
}

bool Opening::Run(SessionInfo& info, std::string& error) {
    const bool ok = [&] {
        if (!Handshake()) return false;
        CodeInputs inputs;
        if (!ExportForCode(ssl_, inputs.exporter) || !RandomNonce(inputs.dialler_nonce) ||
            !RandomNonce(inputs.accepter_nonce)) {
            error_ = "cannot derive the verification code: " + OpenSslErrors();
            return false;
        }
        // The dialling side's Commit does not depend on the other's Hello: it goes with its
        // own, which saves a round trip.
        std::vector<Message> first{p_.hello};
        if (p_.dialler) first.push_back(Commit{CommitmentTo(inputs.dialler_nonce)});
        if (!Write(first)) return false;
        Hello theirs;
        if (!Expect(theirs, "Hello")) return false;
        auto agreement = Negotiate(p_.hello, theirs);
        if (!agreement) return Refuse(ErrorCode::kNoCommonVersion, "no common version");
        X509* cert = SSL_get0_peer_certificate(ssl_);
        if (!cert) return Refuse(ErrorCode::kVerificationFailed, "no certificate");
        if (p_.dialler) {
            Reveal revealed;
            if (!Expect(revealed, "Reveal")) return false;
            inputs.accepter_nonce = revealed.nonce;
            Reveal ours{inputs.dialler_nonce};
            if (p_.reveal_wrong_nonce) ours.nonce[0] ^= 1;
            if (!Write(ours)) return false;
        } else {
            Commit commit;
            Reveal revealed;
            if (!Expect(commit, "Commit") || !Write(Reveal{inputs.accepter_nonce}) ||
                !Expect(revealed, "Reveal"))
                return false;
            if (CommitmentTo(revealed.nonce) != commit.digest)
                return Refuse(ErrorCode::kVerificationFailed,
                              "the revealed nonce does not match its commitment");
            inputs.dialler_nonce = revealed.nonce;
        }
        info.peer_address = p_.peer_address;
        info.dialled = p_.dialler;
        info.own_fingerprint = p_.own_fingerprint;
        info.peer_fingerprint = FingerprintOf(cert);
        info.peer_name = theirs.name;
        info.peer_program = theirs.program;
        info.peer_session_port = theirs.port;
        info.agreement = std::move(*agreement);
        info.code = VerificationCode(info.own_fingerprint, info.peer_fingerprint, inputs);
        return true;
    }();
    if (!ok) error = error_;
    return ok;
}

}  // namespace

std::optional<Opened> OpenSession(UniqueFd fd, SSL_CTX* ctx, const OpeningParams& params,
                                  std::string& error) {
    if (!SetNonBlocking(fd.get())) {
        error = "cannot make the socket non-blocking";
        return std::nullopt;
    }
    // The opening is a few small messages each way: waiting to fill segments only delays them.
    const int on = 1;
    setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    SslPtr ssl(SSL_new(ctx));
    if (!ssl || SSL_set_fd(ssl.get(), fd.get()) != 1) {
        error = "cannot set up TLS: " + OpenSslErrors();
        return std::nullopt;
    }
    if (params.dialler)
        SSL_set_connect_state(ssl.get());
    else
        SSL_set_accept_state(ssl.get());
    NoSigpipe no_sigpipe;
    Opening opening(ssl.get(), fd.get(), params);
    Opened out;
    if (!opening.Run(out.info, error)) {
        ERR_clear_error();
        return std::nullopt;
    }
    out.fd = std::move(fd);
    out.ssl = std::move(ssl);
    out.reader = std::move(opening.reader());
    out.early = opening.Leftover();
    return out;
}

}  // namespace quorell::session
