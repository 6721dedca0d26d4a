#pragma once

// What the session transport's tests share: identities in temporary folders, a handler that
// records what it is told, services on loopback addresses and a peer that speaks the session
// by hand.

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "session/opening.h"
#include "session/session.h"
#include "support/raw_tcp.h"
#include "temp_folder.h"

namespace quorell::session::test {

using namespace std::chrono_literals;

inline net::Address Ip(const char* text) {
    return *net::Address::Parse(text);
}

// Waits for what a session tells its handler.
class Recorder : public ISessionHandler {
public:
    void SessionMessage(const Message& message) override {
        std::lock_guard lock(mu_);
        messages_.push_back(message);
        cv_.notify_all();
    }
    void SessionClosed(Ended why, const std::string& detail) override {
        std::lock_guard lock(mu_);
        ++closed_count_;
        why_ = why;
        detail_ = detail;
        cv_.notify_all();
    }
    bool WaitMessages(std::size_t count, std::chrono::milliseconds timeout = 3000ms) {
        std::unique_lock lock(mu_);
        return cv_.wait_for(lock, timeout, [&] { return messages_.size() >= count; });
    }
    std::optional<Ended> WaitClosed(std::chrono::milliseconds timeout = 3000ms) {
        std::unique_lock lock(mu_);
        cv_.wait_for(lock, timeout, [&] { return why_.has_value(); });
        return why_;
    }
    std::vector<Message> messages() {
        std::lock_guard lock(mu_);
        return messages_;
    }
    std::string detail() {
        std::lock_guard lock(mu_);
        return detail_;
    }
    int closed_count() {
        std::lock_guard lock(mu_);
        return closed_count_;
    }

private:
    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<Message> messages_;
    std::optional<Ended> why_;
    std::string detail_;
    int closed_count_ = 0;
};

// The sessions a service was given, in order.
class Inbox {
public:
    std::function<void(std::shared_ptr<Session>)> Callback() {
        return [this](std::shared_ptr<Session> s) {
            std::lock_guard lock(mu_);
            sessions_.push_back(std::move(s));
            cv_.notify_all();
        };
    }
    std::shared_ptr<Session> Wait(std::chrono::milliseconds timeout = 3000ms) {
        std::unique_lock lock(mu_);
        cv_.wait_for(lock, timeout, [&] { return taken_ < sessions_.size(); });
        return taken_ < sessions_.size() ? sessions_[taken_++] : nullptr;
    }
    std::size_t count() {
        std::lock_guard lock(mu_);
        return sessions_.size();
    }

private:
    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<std::shared_ptr<Session>> sessions_;
    std::size_t taken_ = 0;
};

// One copy of the program: an identity and a service bound to one loopback address.
struct Peer {
    TempFolder folder;
    std::optional<Identity> identity;
    std::optional<SessionService> service;
    Inbox inbox;

    Peer(const char* address, const std::string& name, SessionOptions options = Fast()) {
        std::string error;
        identity = Identity::LoadOrCreate(folder.path(), error);
        EXPECT_TRUE(identity) << error;
        options.bind_address = address;
        options.port = 0;
        options.own_name = name;
        options.program = "Quorell test";
        service.emplace(*identity, options);
        service->SetIncoming(inbox.Callback());
    }
    std::uint16_t Listen() {
        std::string error;
        EXPECT_TRUE(service->Listen(error)) << error;
        return service->Port();
    }
    // Short time-outs for tests.
    static SessionOptions Fast() {
        SessionOptions o;
        o.connect_timeout = 500ms;
        o.handshake_timeout = 1000ms;
        o.keepalive = 5000ms;
        o.dead_after = 10000ms;
        return o;
    }
};

// A peer that opens a session properly and then writes whatever it likes: it is built from the
// same opening as the service, without the session's thread.
class HandPeer {
public:
    // Dials 127.0.0.1:port from `source` with `identity`; check opened().
    HandPeer(const Identity& identity, std::uint16_t port, const char* source = "127.0.0.2",
             bool reveal_wrong_nonce = false) {
        std::string error;
        ctx_ = MakeTlsContext(false, identity, error);
        quorell::test::ClientSocket socket =
            quorell::test::StartConnectLoopback(port, "127.0.0.1", source);
        if (!socket || !quorell::test::ConnectCompleted(socket.fd(), 1000ms)) return;
        OpeningParams p;
        p.dialler = true;
        p.hello = Hello{kProtocolVersion, "hand", {"chat", "events"}, 0, "hand@test"};
        p.own_fingerprint = identity.GetFingerprint();
        p.deadline = Clock::now() + 2000ms;
        p.reveal_wrong_nonce = reveal_wrong_nonce;
        opened_ = OpenSession(UniqueFd(socket.Release()), ctx_.get(), p, error_);
    }
    bool opened() const { return opened_.has_value(); }
    const std::string& error() const { return error_; }
    SSL* ssl() { return opened_->ssl.get(); }

    bool Write(const std::string& bytes) {
        std::size_t at = 0;
        while (at < bytes.size()) {
            const int r = SSL_write(ssl(), bytes.data() + at, static_cast<int>(bytes.size() - at));
            if (r > 0) {
                at += static_cast<std::size_t>(r);
                continue;
            }
            const int e = SSL_get_error(ssl(), r);
            if (e != SSL_ERROR_WANT_WRITE && e != SSL_ERROR_WANT_READ) return false;
            if (!WaitReady(opened_->fd.get(), e == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT,
                           Clock::now() + 2000ms, -1))
                return false;
        }
        return true;
    }
    // The next message from the service, or nothing when the stream ended or went quiet.
    std::optional<Message> Read(std::chrono::milliseconds timeout = 2000ms) {
        const auto deadline = Clock::now() + timeout;
        char buffer[16384];
        while (got_.empty()) {
            const int r = SSL_read(ssl(), buffer, sizeof buffer);
            if (r > 0) {
                opened_->reader.Feed(std::string_view(buffer, static_cast<std::size_t>(r)), got_);
                continue;
            }
            if (SSL_get_error(ssl(), r) != SSL_ERROR_WANT_READ ||
                !WaitReady(opened_->fd.get(), POLLIN, deadline, -1))
                return std::nullopt;
        }
        Message m = got_.front();
        got_.erase(got_.begin());
        return m;
    }
    // The Error the service ended with, skipping what came before it.
    std::optional<Error> ReadError() {
        while (auto m = Read())
            if (auto* e = std::get_if<Error>(&*m)) return *e;
        return std::nullopt;
    }

private:
    SslCtxPtr ctx_;
    std::optional<Opened> opened_;
    std::string error_;
    std::vector<Message> got_;
};

// A message as a peer might write it, valid or not.
inline std::string RawMessage(std::uint16_t type, std::uint16_t flags, const std::string& payload,
                              std::uint32_t declared) {
    std::string out;
    for (int shift : {24, 16, 8, 0}) out.push_back(static_cast<char>(declared >> shift));
    for (auto v : {type, flags}) {
        out.push_back(static_cast<char>(v >> 8));
        out.push_back(static_cast<char>(v));
    }
    return out + payload;
}

}  // namespace quorell::session::test
