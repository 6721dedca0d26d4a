#pragma once

// An open encrypted session with the peer, and the service that opens sessions: listening on the
// session port and dialling the peer's. TLS 1.3 from OpenSSL with both certificates; inside it,
// the messages of docs/session-protocol.md. No Qt.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "net/address.h"
#include "session/identity.h"
#include "session/message.h"

namespace quorell::session {

// The TCP port sessions are accepted on, beside the plain protocol's ports.
inline constexpr std::uint16_t kDefaultSessionPort = 9010;

struct SessionOptions {
    std::string bind_address;                  // empty: all local IPv4 addresses
    std::uint16_t port = kDefaultSessionPort;  // 0: any free port (tests)
    std::string own_name;                      // announced in Hello, e.g. "alice@laptop"
    std::string program;                       // announced in Hello, e.g. "Quorell 1.4.0"
    std::vector<std::string> capabilities = {"chat", "events"};
    // Dialling: the TCP connect alone. A peer that neither accepts nor refuses in this time
    // does not speak the session.
    std::chrono::milliseconds connect_timeout{1000};
    // Either side: from the TCP connection to an open session (TLS, both Hellos, the code).
    std::chrono::milliseconds handshake_timeout{5000};
    // Handshakes in progress at once, in all and from one address; more are closed at once.
    std::size_t max_pending = 32;
    std::size_t max_pending_per_address = 4;
    // A Ping after this long with nothing received; the session ends after dead_after.
    std::chrono::milliseconds keepalive{15000};
    std::chrono::milliseconds dead_after{45000};
};

// What both sides learned while opening the session.
struct SessionInfo {
    net::Address peer_address;
    bool dialled = false;  // this side connected to the peer
    Fingerprint own_fingerprint{};
    Fingerprint peer_fingerprint{};
    std::string peer_name;     // from the peer's Hello
    std::string peer_program;  // from the peer's Hello
    std::uint16_t peer_session_port = 0;
    Agreement agreement;
    // The verification code, the same on both sides of this session (and different on the two
    // halves of a man in the middle): "1234 5678".
    std::string code;
};

// Why a session ended.
enum class Ended {
    kClosedHere,     // Close() on this side
    kPeerClosed,     // the peer said Bye
    kPeerError,      // the peer sent Error
    kProtocolError,  // the peer sent something malformed; this side sent Error
    kLost,           // the connection broke or went silent
};

// Told from the session's own thread, never after SessionClosed.
class ISessionHandler {
public:
    virtual ~ISessionHandler() = default;
    // Every message after both Hellos but Ping, Pong, Bye and Error, which the session handles.
    virtual void SessionMessage(const Message& message) = 0;
    // Once, when the session has ended; `detail` is for a log or the user (the peer's Bye or
    // Error text, the fault found).
    virtual void SessionClosed(Ended why, const std::string& detail) = 0;
};

// One open session. Thread-safe; its own thread owns the TLS connection.
class Session {
public:
    virtual ~Session() = default;  // closes as Close() does
    virtual const SessionInfo& Info() const = 0;
    // Starts delivering to `handler`; what arrived before waits for this.
    virtual void Start(std::shared_ptr<ISessionHandler> handler) = 0;
    // Queues a message for the peer. false when the session has ended, when the agreement does
    // not include the message's capability, when it cannot be encoded, when 16 MiB wait to be
    // written already, and for the messages the session sends itself (Hello, Commit, Reveal,
    // Bye: use Close, Error).
    virtual bool Send(const Message& message) = 0;
    // Like Send, but while more than a few MiB wait to be written, waits (up to `timeout`) for
    // the session to write them instead of failing. false when the time ran out or the session
    // ended meanwhile. For streams of large messages (file data) sent from a thread of their
    // own. From a handler (the session's own thread) it is Send. Sessions that cannot wait only
    // Send.
    virtual bool SendWaiting(const Message& message, std::chrono::milliseconds timeout) {
        (void)timeout;
        return Send(message);
    }
    // SendWaiting of a file message, encoded straight from `message` (no copy of its data).
    virtual bool SendFileWaiting(const FileMessage& message, std::chrono::milliseconds timeout) {
        return SendWaiting(Message{message}, timeout);
    }
    // Says Bye, closes and returns when the session's thread has ended; SessionClosed
    // (kClosedHere) has then been told. Does nothing more the second time. Called from the
    // handler (the session's own thread), it returns at once and the session ends after the
    // handler returns.
    virtual void Close(ByeReason reason = ByeReason::kUserClosed) = 0;
    virtual bool IsOpen() const = 0;
};

class SessionService {
public:
    // The identity must outlive the service and every session it opens.
    SessionService(const Identity& identity, SessionOptions options);
    ~SessionService();  // Stop()
    SessionService(const SessionService&) = delete;
    SessionService& operator=(const SessionService&) = delete;

    // Each session a peer opened, fully set up and not yet started, on a service thread. Set
    // before Listen.
    void SetIncoming(std::function<void(std::shared_ptr<Session>)> incoming);
    // Binds the session port and starts accepting. false with `error` set when it cannot bind.
    bool Listen(std::string& error);
    // The bound port (after Listen).
    std::uint16_t Port() const;

    // Opens a session to the peer's session port. Blocks for at most the connect and handshake
    // time-outs. Nothing, with `error` set, when the peer refuses, does not answer or fails the
    // handshake: the caller then uses the plain protocol.
    std::shared_ptr<Session> Dial(const net::Address& peer, std::uint16_t port, std::string& error);

    // Stops accepting and waits for handshakes in progress to end. Open sessions stay open.
    void Stop();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace quorell::session
