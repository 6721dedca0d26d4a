#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "session/session.h"

namespace quorell::test {

// An open session that records what is sent and refuses everything once closed.
class FakeSession : public session::Session {
public:
    const session::SessionInfo& Info() const override { return info; }
    void Start(std::shared_ptr<session::ISessionHandler> h) override { handler = std::move(h); }
    bool Send(const session::Message& message) override {
        std::lock_guard lock(mu);
        if (!open) return false;
        sent.push_back(message);
        return true;
    }
    void Close(session::ByeReason) override {
        std::lock_guard lock(mu);
        open = false;
    }
    bool IsOpen() const override {
        std::lock_guard lock(mu);
        return open;
    }

    session::SessionInfo info;
    std::shared_ptr<session::ISessionHandler> handler;
    mutable std::mutex mu;
    bool open = true;
    std::vector<session::Message> sent;
};

}  // namespace quorell::test
