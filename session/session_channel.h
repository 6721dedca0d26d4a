#pragma once

// The open session: one thread owns the TLS connection and does all of its reading and writing;
// other threads hand it messages through a bounded queue and wake it with an eventfd.

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "session/opening.h"
#include "session/session.h"

namespace quorell::session {

// Bytes queued for the peer and not yet written, beyond which Send refuses.
inline constexpr std::size_t kMaxQueuedBytes = 16 * 1024 * 1024;
// Queued bytes above which SendWaiting waits for the session's thread to write some.
inline constexpr std::size_t kSendWaitingHighWater = 4 * 1024 * 1024;
// Bytes of messages held for a handler not yet given, beyond which the session stops reading.
inline constexpr std::size_t kMaxHeldBytes = 16 * 1024 * 1024;

class Channel;

class SessionChannel final : public Session {
public:
    // Starts the session's thread at once.
    SessionChannel(Opened opened, const SessionOptions& options);
    ~SessionChannel() override;

    const SessionInfo& Info() const override;
    void Start(std::shared_ptr<ISessionHandler> handler) override;
    bool Send(const Message& message) override;
    bool SendWaiting(const Message& message, std::chrono::milliseconds timeout) override;
    bool SendFileWaiting(const FileMessage& message, std::chrono::milliseconds timeout) override;
    void Close(ByeReason reason) override;
    bool IsOpen() const override;

private:
    std::shared_ptr<Channel> channel_;
};

}  // namespace quorell::session
