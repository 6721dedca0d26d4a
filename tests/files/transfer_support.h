#pragma once

// What the transfer tests share: pipes that carry one side's messages to the other, files
// made and read back, and waiting for what a transfer tells.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "files/transfer_pipe.h"

namespace quorell::files::test {

using namespace std::chrono_literals;
inline constexpr auto kLong = 20s;

// One direction of a link: a bounded queue (Send waits while it is full) and a thread that
// hands each message on, like a session's thread. Cut() closes it after what is queued went.
class QueuePipe final : public ITransferPipe {
public:
    using Deliver = std::function<void(const session::FileMessage&)>;
    explicit QueuePipe(std::size_t max_bytes = 1024 * 1024) : max_bytes_(max_bytes) {}
    ~QueuePipe() override { Cut(); }

    void Begin(Deliver deliver) {
        deliver_ = std::move(deliver);
        thread_ = std::thread([this] { Run(); });
    }
    // Data beyond this many bytes of file data closes the pipe, as a session that breaks.
    void CutAfterDataBytes(std::uint64_t bytes) {
        std::lock_guard lock(mu_);
        cut_after_ = bytes;
    }
    bool Send(const session::FileMessage& message) override {
        const std::size_t size = session::HeldSize(message);
        std::unique_lock lock(mu_);
        if (const auto* d = std::get_if<session::Data>(&message)) {
            if (data_bytes_ + d->bytes.size() > cut_after_) closed_ = true;
            if (!closed_) data_bytes_ += d->bytes.size();
        }
        cv_.wait(lock, [&] { return closed_ || bytes_ < max_bytes_; });
        if (closed_) return false;
        queue_.push_back(message);
        bytes_ += size;
        ++sent_;
        cv_.notify_all();
        return true;
    }
    // Closes for sending, lets what is queued be delivered and waits for that.
    void Cut() {
        {
            std::lock_guard lock(mu_);
            closed_ = true;
        }
        cv_.notify_all();
        if (thread_.joinable()) thread_.join();
    }

private:
    void Run() {
        std::unique_lock lock(mu_);
        for (;;) {
            cv_.wait(lock, [&] { return closed_ || !queue_.empty(); });
            if (queue_.empty()) return;
            session::FileMessage m = std::move(queue_.front());
            queue_.pop_front();
            bytes_ -= session::HeldSize(m);
            cv_.notify_all();
            lock.unlock();
            deliver_(m);
            lock.lock();
        }
    }

    const std::size_t max_bytes_;
    Deliver deliver_;
    std::thread thread_;
    std::mutex mu_;
    std::condition_variable cv_;
    std::deque<session::FileMessage> queue_;
    std::size_t bytes_ = 0;
    std::uint64_t data_bytes_ = 0;
    std::uint64_t cut_after_ = UINT64_MAX;
    std::size_t sent_ = 0;
    bool closed_ = false;
};

// Keeps what is sent through it, for a test that plays the other side by hand.
class RecordingPipe final : public ITransferPipe {
public:
    bool Send(const session::FileMessage& message) override {
        std::lock_guard lock(mu_);
        sent_.push_back(message);
        cv_.notify_all();
        return true;
    }
    // Waits for a message of type T and gives the first one.
    template <class T>
    std::optional<T> WaitFor(std::chrono::milliseconds timeout = kLong) {
        std::unique_lock lock(mu_);
        std::optional<T> found;
        cv_.wait_for(lock, timeout, [&] {
            for (const auto& m : sent_)
                if (const auto* t = std::get_if<T>(&m)) {
                    found = *t;
                    return true;
                }
            return false;
        });
        return found;
    }
    template <class T>
    std::vector<T> All() {
        std::lock_guard lock(mu_);
        std::vector<T> out;
        for (const auto& m : sent_)
            if (const auto* t = std::get_if<T>(&m)) out.push_back(*t);
        return out;
    }

private:
    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<session::FileMessage> sent_;
};

inline std::string RandomBytes(std::size_t size, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(size, '\0');
    for (auto& c : s) c = static_cast<char>(gen());
    return s;
}

inline void WriteFile(const std::filesystem::path& path, const std::string& bytes) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

inline std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace quorell::files::test
