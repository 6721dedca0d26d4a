#include "files/file_sink.h"

namespace quorell::files {

namespace {
constexpr std::size_t kSparePieces = 8;
}  // namespace

FileSink::FileSink(std::size_t max_queued_bytes) : max_queued_bytes_(max_queued_bytes) {}

FileSink::~FileSink() {
    {
        std::lock_guard lock(mu_);
        stop_ = true;
        DropLocked();
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void FileSink::DropLocked() {
    for (auto& piece : queue_)
        if (spare_.size() < kSparePieces) spare_.push_back(std::move(piece));
    queue_.clear();
    queued_bytes_ = 0;
}

void FileSink::Begin(PartFile part, Sha256 hash) {
    Abort();
    std::lock_guard lock(mu_);
    part_ = std::move(part);
    hash_ = std::move(hash);
    error_ = {};
    if (!thread_.joinable()) thread_ = std::thread([this] { Run(); });
}

bool FileSink::Write(std::string_view bytes, Outcome& error) {
    std::unique_lock lock(mu_);
    cv_.wait(lock, [&] { return !error_.ok() || queued_bytes_ < max_queued_bytes_; });
    if (!error_.ok()) {
        error = error_;
        return false;
    }
    std::string piece;
    if (!spare_.empty()) {
        piece = std::move(spare_.back());
        spare_.pop_back();
    }
    piece.assign(bytes);
    queued_bytes_ += piece.size();
    queue_.push_back(std::move(piece));
    lock.unlock();
    cv_.notify_all();
    return true;
}

Outcome FileSink::Finish(Sha256Digest& digest) {
    std::unique_lock lock(mu_);
    cv_.wait(lock, [&] { return queue_.empty() && !writing_; });
    Outcome outcome = error_;
    if (outcome.ok() && !hash_.Final(digest)) outcome = {EIO, "hashing the received file failed"};
    part_.Close();
    error_ = {};
    return outcome;
}

void FileSink::Abort() {
    std::unique_lock lock(mu_);
    // What is queued arrived at its checked offsets: it is kept for a resume, unless a write
    // has failed already.
    cv_.wait(lock, [&] { return (queue_.empty() && !writing_) || !error_.ok(); });
    DropLocked();
    cv_.wait(lock, [&] { return !writing_; });
    part_.Close();
    error_ = {};
    lock.unlock();
    cv_.notify_all();
}

void FileSink::Run() {
    std::unique_lock lock(mu_);
    for (;;) {
        cv_.wait(lock, [&] { return stop_ || !queue_.empty(); });
        if (stop_) return;
        std::string piece = std::move(queue_.front());
        queue_.pop_front();
        queued_bytes_ -= piece.size();
        writing_ = true;
        const bool failed = !error_.ok();
        lock.unlock();
        Outcome wrote;
        if (!failed) {
            wrote = part_.Write(piece);
            if (wrote.ok()) hash_.Update(piece);
        }
        lock.lock();
        writing_ = false;
        if (!wrote.ok() && error_.ok()) error_ = std::move(wrote);
        if (spare_.size() < kSparePieces) spare_.push_back(std::move(piece));
        cv_.notify_all();
    }
}

}  // namespace quorell::files
