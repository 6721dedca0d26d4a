#include "keep/history_keeper.h"

namespace quorell::keep {

HistoryKeeper::HistoryKeeper(Options options, ProblemHandler on_problem)
    : options_(std::move(options)), on_problem_(std::move(on_problem)) {
    thread_ = std::thread([this] { Loop(); });
}

HistoryKeeper::~HistoryKeeper() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void HistoryKeeper::Append(std::string peer, Record record) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (open_failed_) return;
        if (pending_.size() >= options_.max_pending) pending_.erase(pending_.begin());
        pending_.emplace_back(std::move(peer), std::move(record));
        ++generation_;
    }
    wake_.notify_all();
}

void HistoryKeeper::Run(std::function<void(HistoryStore&, std::int64_t)> body) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        tasks_.push_back(std::move(body));
        ++generation_;
    }
    wake_.notify_all();
}

bool HistoryKeeper::Flush(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    const std::uint64_t wanted = generation_;
    wake_.notify_all();
    return idle_.wait_for(lock, timeout, [&] { return done_ >= wanted; });
}

void HistoryKeeper::WritePending(std::unique_lock<std::mutex>& lock) {
    if (pending_.empty() || !store_.IsOpen()) {
        pending_.clear();
        return;
    }
    std::vector<std::pair<std::string, Record>> batch = std::move(pending_);
    pending_.clear();
    lock.unlock();
    const std::string error = store_.Append(batch);
    lock.lock();
    if (error.empty()) {
        write_failing_ = false;
        return;
    }
    // Kept for the next try, ahead of what came meanwhile, within the bound.
    batch.insert(batch.end(), std::make_move_iterator(pending_.begin()),
                 std::make_move_iterator(pending_.end()));
    if (batch.size() > options_.max_pending)
        batch.erase(batch.begin(), batch.end() - static_cast<std::ptrdiff_t>(options_.max_pending));
    pending_ = std::move(batch);
    const bool first = !write_failing_;
    write_failing_ = true;
    if (first && on_problem_) {
        lock.unlock();
        on_problem_({Problem::kWrite, error});
        lock.lock();
    }
}

void HistoryKeeper::Loop() {
    std::string error = store_.Open(options_.path, options_.busy_timeout_ms);
    if (error.empty()) {
        if (options_.max_pages > 0) store_.SetMaxPages(options_.max_pages);
        run_start_ = store_.LastId(&error) + 1;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    if (!error.empty()) {
        store_.Close();
        open_failed_ = true;
        pending_.clear();
        if (on_problem_) {
            lock.unlock();
            on_problem_({Problem::kOpen, error});
            lock.lock();
        }
    }
    for (;;) {
        const auto something = [&] {
            return stopping_ || !tasks_.empty() || (!pending_.empty() && !write_failing_) ||
                   done_ < generation_;
        };
        if (write_failing_) {
            // Tried again with the next line or task, or after a while.
            wake_.wait_for(lock, options_.retry_after, something);
        } else {
            wake_.wait(lock, something);
        }
        const std::uint64_t reached = generation_;
        WritePending(lock);
        while (!tasks_.empty()) {
            auto task = std::move(tasks_.front());
            tasks_.pop_front();
            lock.unlock();
            task(store_, run_start_);
            lock.lock();
            // Lines queued by the task or meanwhile go before the next task.
            if (!pending_.empty() && !write_failing_) WritePending(lock);
        }
        done_ = reached;
        idle_.notify_all();
        // Lines that came while the last batch was written go before the end, unless the store
        // refuses them (they were tried once more just now).
        if (stopping_ && tasks_.empty() && (pending_.empty() || write_failing_)) break;
    }
}

}  // namespace quorell::keep
