#pragma once

// What the controller tests share: an owner that keeps what it is told, a hold on a link's
// delivery, and two controllers joined by in-memory links.

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "files/session_files.h"
#include "transfer_support.h"

namespace quorell::files::test {

// Keeps the events; accepts the peer's offers into `folder` from inside the event, or leaves
// them waiting.
class Owner final : public ISessionFilesEvents {
public:
    void IncomingOffered(const IncomingOffer& offer) override {
        const bool accept = accept_at_once;  // decided before it is seen
        Record([&] { offered.push_back(offer); });
        std::string error;
        if (accept) {
            EXPECT_TRUE(files->AcceptIncoming(folder, {}, error)) << error;
        }
    }
    void IncomingEnded(const IncomingResult& r) override {
        Record([&] { in_ended.push_back(r); });
    }
    void OutgoingStarted(std::uint64_t id, const Offer&) override {
        Record([&] { log.push_back("started " + std::to_string(id)); });
    }
    void OutgoingEnded(std::uint64_t id, const OutgoingResult& r) override {
        std::function<void(std::uint64_t)> then;
        Record([&] {
            out_ended[id].push_back(r);
            log.push_back("ended " + std::to_string(id));
            then = on_out_ended;
        });
        if (then) then(id);
    }

    // Runs `f` under the lock of what was told, at once or until it is true (within kLong).
    template <class F>
    auto With(F f) {
        std::lock_guard lock(mu_);
        return f();
    }
    bool WaitFor(const std::function<bool()>& f) {
        std::unique_lock lock(mu_);
        return cv_.wait_for(lock, kLong, f);
    }

    SessionFiles* files = nullptr;
    std::string folder;
    std::atomic<bool> accept_at_once{true};
    // Under the lock.
    std::vector<IncomingOffer> offered;
    std::vector<IncomingResult> in_ended;
    std::map<std::uint64_t, std::vector<OutgoingResult>> out_ended;
    std::vector<std::string> log;                     // "started <id>", "ended <id>"
    std::function<void(std::uint64_t)> on_out_ended;  // called from the event

private:
    void Record(const std::function<void()>& f) {
        With(f);
        cv_.notify_all();
    }
    std::mutex mu_;
    std::condition_variable cv_;
};

// Stops a link's delivery before the first message `Arm` picks, until Release.
class Hold {
public:
    void Arm(std::function<bool(const session::FileMessage&)> match) {
        std::lock_guard lock(mu_);
        match_ = std::move(match);
    }
    void Before(const session::FileMessage& m) {
        std::unique_lock lock(mu_);
        if (!match_ || !match_(m)) return;
        match_ = nullptr;
        held_ = true;
        cv_.notify_all();
        cv_.wait(lock, [&] { return !held_; });
    }
    bool Held() {
        std::unique_lock lock(mu_);
        return cv_.wait_for(lock, kLong, [&] { return held_; });
    }
    void Release() {
        std::lock_guard lock(mu_);
        held_ = false;
        match_ = nullptr;
        cv_.notify_all();
    }

private:
    std::mutex mu_;
    std::condition_variable cv_;
    std::function<bool(const session::FileMessage&)> match_;
    bool held_ = false;
};

// Controllers A and B, each with its owner, joined by two links; counts the Cancels to B.
struct Pair {
    Pair(const std::string& a_folder, const std::string& b_folder,
         std::size_t link_bytes = 1024 * 1024)
        : a_to_b(link_bytes), b_to_a(link_bytes) {
        a = std::make_unique<SessionFiles>(a_to_b, owner_a);
        b = std::make_unique<SessionFiles>(b_to_a, owner_b);
        owner_a.files = a.get();
        owner_a.folder = a_folder;
        owner_b.files = b.get();
        owner_b.folder = b_folder;
        a_to_b.Begin([this](const session::FileMessage& m) {
            hold_b.Before(m);
            cancels_to_b += std::holds_alternative<session::Cancel>(m);
            b->OnMessage(m);
        });
        b_to_a.Begin([this](const session::FileMessage& m) {
            hold_a.Before(m);
            a->OnMessage(m);
        });
    }
    ~Pair() {
        hold_a.Release();
        hold_b.Release();
        a->Close("");
        b->Close("");
        a_to_b.Cut();
        b_to_a.Cut();
    }

    Owner owner_a, owner_b;
    QueuePipe a_to_b, b_to_a;
    Hold hold_a, hold_b;  // before A, before B
    std::atomic<int> cancels_to_b{0};
    std::unique_ptr<SessionFiles> a, b;
};

}  // namespace quorell::files::test
