#pragma once

// What the controller tests share: an owner that hands each event to a thread of its own and
// waits for it, as the window does; a hold on a link's delivery; two controllers joined by
// in-memory links.

#include <functional>
#include <string>
#include <vector>

#include "files/session_files.h"
#include "transfer_support.h"

namespace quorell::files::test {

class Owner final : public ISessionFilesEvents {
public:
    Owner() : ui_([this] { Ui(); }) {}
    ~Owner() override {
        {
            std::lock_guard lock(ui_mu_);
            stop_ = true;
        }
        ui_cv_.notify_all();
        ui_.join();
    }

    SessionFiles* files = nullptr;
    std::string folder;                      // the peer's offers are accepted into it
    std::atomic<bool> accept_at_once{true};  // else they wait for the test

    void IncomingOffered(const IncomingOffer& offer) override {
        OnUi([&] {
            const bool accept = accept_at_once;  // decided before it is seen
            Record([&] { offered.push_back(offer); });
            std::string error;
            if (accept) {
                EXPECT_TRUE(files->AcceptIncoming(folder, {}, error)) << error;
            }
        });
    }
    void IncomingEnded(const IncomingResult& result) override {
        OnUi([&] { Record([&] { in_ended.push_back(result); }); });
    }
    void OutgoingStarted(std::uint64_t id, const Offer&) override {
        OnUi([&] { Record([&] { log.push_back("started " + std::to_string(id)); }); });
    }
    void OutgoingEnded(std::uint64_t id, const OutgoingResult& result) override {
        OnUi([&] {
            std::function<void(std::uint64_t)> then;
            Record([&] {
                out_ended.emplace_back(id, result);
                log.push_back("ended " + std::to_string(id));
                then = on_out_ended;
            });
            if (then) then(id);
        });
    }

    // Runs `f` under the lock of what was told; true once it is true (within kLong).
    bool WaitFor(const std::function<bool()>& f) {
        std::unique_lock lock(mu_);
        return cv_.wait_for(lock, kLong, f);
    }
    template <class F>
    auto With(F f) {
        std::lock_guard lock(mu_);
        return f();
    }
    // Under the lock: how often offer `id` was told as ended, and how.
    int EndedCount(std::uint64_t id) const {
        int n = 0;
        for (const auto& [i, r] : out_ended) n += i == id;
        return n;
    }
    OutgoingResult EndOf(std::uint64_t id) const {
        for (const auto& [i, r] : out_ended)
            if (i == id) return r;
        return {};
    }

    // What was told (under the lock).
    std::vector<IncomingOffer> offered;
    std::vector<IncomingResult> in_ended;
    std::vector<std::pair<std::uint64_t, OutgoingResult>> out_ended;
    std::vector<std::string> log;                     // "started <id>", "ended <id>"
    std::function<void(std::uint64_t)> on_out_ended;  // on the owner's thread

private:
    void Record(const std::function<void()>& f) {
        {
            std::lock_guard lock(mu_);
            f();
        }
        cv_.notify_all();
    }
    // Like a blocking call into the window's thread.
    void OnUi(const std::function<void()>& f) {
        std::unique_lock lock(ui_mu_);
        bool done = false;
        tasks_.push_back([&] {
            f();
            std::lock_guard l(ui_mu_);
            done = true;
        });
        ui_cv_.notify_all();
        ui_cv_.wait(lock, [&] { return done; });
    }
    void Ui() {
        std::unique_lock lock(ui_mu_);
        for (;;) {
            ui_cv_.wait(lock, [&] { return stop_ || !tasks_.empty(); });
            if (tasks_.empty()) return;
            auto task = std::move(tasks_.front());
            tasks_.pop_front();
            lock.unlock();
            task();
            ui_cv_.notify_all();
            lock.lock();
        }
    }

    mutable std::mutex mu_;
    std::condition_variable cv_;
    std::mutex ui_mu_;
    std::condition_variable ui_cv_;
    std::deque<std::function<void()>> tasks_;
    bool stop_ = false;
    std::thread ui_;
};

// Stops a link's delivery before the first message `Arm` picks, until Release.
class Hold {
public:
    void Arm(std::function<bool(const session::FileMessage&)> match) {
        std::lock_guard lock(mu_);
        match_ = std::move(match);
        held_ = released_ = false;
    }
    void Before(const session::FileMessage& m) {
        std::unique_lock lock(mu_);
        if (!match_ || !match_(m)) return;
        match_ = nullptr;
        held_ = true;
        cv_.notify_all();
        cv_.wait(lock, [&] { return released_; });
    }
    bool Held() {
        std::unique_lock lock(mu_);
        return cv_.wait_for(lock, kLong, [&] { return held_; });
    }
    void Release() {
        {
            std::lock_guard lock(mu_);
            released_ = true;
            match_ = nullptr;
        }
        cv_.notify_all();
    }

private:
    std::mutex mu_;
    std::condition_variable cv_;
    std::function<bool(const session::FileMessage&)> match_;
    bool held_ = false;
    bool released_ = false;
};

// Controllers A and B, each with its owner, joined by two links; the Cancels each link carried.
struct Pair {
    Pair(const std::string& a_folder, const std::string& b_folder,
         std::size_t link_bytes = 1024 * 1024)
        : a_to_b(link_bytes), b_to_a(link_bytes) {
        owner_a.folder = a_folder;
        owner_b.folder = b_folder;
        a = std::make_unique<SessionFiles>(a_to_b, owner_a);
        b = std::make_unique<SessionFiles>(b_to_a, owner_b);
        owner_a.files = a.get();
        owner_b.files = b.get();
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
