#pragma once

// What a transfer sends its messages through: the session in the program, an in-memory pipe in
// the tests. No Qt.

#include <chrono>
#include <memory>

#include "session/file_messages.h"
#include "session/session.h"

namespace quorell::files {

class ITransferPipe {
public:
    virtual ~ITransferPipe() = default;
    // Sends one message, waiting while the way to the peer is full. false when it could not be
    // sent: the session ended, or it stayed full for too long. Called from any thread.
    virtual bool Send(const session::FileMessage& message) = 0;
};

// The pipe of an open session: waits for room up to `timeout` for each message.
class SessionPipe final : public ITransferPipe {
public:
    explicit SessionPipe(std::shared_ptr<session::Session> session,
                         std::chrono::milliseconds timeout = std::chrono::seconds(30))
        : session_(std::move(session)), timeout_(timeout) {}

    bool Send(const session::FileMessage& message) override {
        return session_->SendFileWaiting(message, timeout_);
    }

private:
    std::shared_ptr<session::Session> session_;
    std::chrono::milliseconds timeout_;
};

}  // namespace quorell::files
