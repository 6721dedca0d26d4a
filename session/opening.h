#pragma once

// Opening a session on a connected socket: the TLS handshake, both Hellos and the verification
// exchange, all within one deadline. Used by both the dialling and the accepting side.

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "session/message.h"
#include "session/session.h"
#include "session/tls.h"

namespace quorell::session {

using Clock = std::chrono::steady_clock;

struct OpeningParams {
    bool dialler = false;
    Hello hello;  // ours
    Fingerprint own_fingerprint{};
    net::Address peer_address;
    Clock::time_point deadline;
    int cancel_fd = -1;  // readable: give up at once
    // Tests only: reveal another nonce than the one committed to.
    bool reveal_wrong_nonce = false;
};

// A session that has finished opening, ready for its own thread.
struct Opened {
    UniqueFd fd;  // non-blocking
    SslPtr ssl;
    SessionInfo info;
    MessageReader reader;
    std::vector<Message> early;  // what came after the exchange in the same reads
};

// Takes the socket (made non-blocking); nothing, with `error` set, when the opening failed or
// ran past the deadline. The socket is then closed.
std::optional<Opened> OpenSession(UniqueFd fd, SSL_CTX* ctx, const OpeningParams& params,
                                  std::string& error);

// Waits until fd is ready for `events` (POLLIN, POLLOUT); false when the deadline passed, the
// cancel eventfd became readable or the socket failed.
bool WaitReady(int fd, short events, Clock::time_point deadline, int cancel_fd);

}  // namespace quorell::session
