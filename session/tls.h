#pragma once

// The pieces of OpenSSL and of the socket a session is made of, owned.

#include <openssl/ssl.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <utility>

#include "session/identity.h"
#include "session/verification_code.h"

namespace quorell::session {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) Reset(std::exchange(other.fd_, -1));
        return *this;
    }
    ~UniqueFd() { Reset(); }
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    void Reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

struct SslFree {
    void operator()(SSL* s) const { SSL_free(s); }
};
struct SslCtxFree {
    void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
};
using SslPtr = std::unique_ptr<SSL, SslFree>;
using SslCtxPtr = std::unique_ptr<SSL_CTX, SslCtxFree>;

// A TLS 1.3-only context presenting `identity` and requiring the peer's certificate, which is
// not checked against any authority (trust comes from its fingerprint); no session tickets, no
// resumption. Nothing, with `error` set, when OpenSSL refuses.
SslCtxPtr MakeTlsContext(bool server, const Identity& identity, std::string& error);

// The value both ends of one TLS connection export for the verification code.
bool ExportForCode(SSL* ssl, Bytes32& out);

// A new non-blocking eventfd, or an invalid one.
UniqueFd MakeEventFd();
// Makes the eventfd readable; Drain reads it empty.
void Signal(int event_fd);
void Drain(int event_fd);
bool SetNonBlocking(int fd);

}  // namespace quorell::session

namespace quorell::session {

// While it lives, a write to a connection the peer has reset fails with EPIPE on this thread
// instead of raising SIGPIPE (OpenSSL writes with write(), which has no MSG_NOSIGNAL); a SIGPIPE
// raised meanwhile is taken away before the thread's signal mask is put back.
class NoSigpipe {
public:
    NoSigpipe();
    ~NoSigpipe();
    NoSigpipe(const NoSigpipe&) = delete;
    NoSigpipe& operator=(const NoSigpipe&) = delete;

private:
    bool was_blocked_ = false;
};

}  // namespace quorell::session
