#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "keep/history_store.h"

namespace quorell::keep {

// What went wrong with the kept history, told to the owner on the keeper's thread.
struct Problem {
    enum Kind {
        kOpen,   // the database could not be opened: nothing is kept this run
        kWrite,  // lines could not be written: they wait and are tried again
    } kind;
    std::string text;
};

// A HistoryStore on a thread of its own, so the window never waits for the disk: lines are
// queued and written in batches (one transaction each), and every other use of the store runs
// there as a task, after the lines queued before it. Lines that cannot be written (a full disk,
// a lock held elsewhere) stay queued, up to max_pending, and are tried again with the next line,
// the next task, or after retry_after.
class HistoryKeeper {
public:
    struct Options {
        std::string path;
        int busy_timeout_ms = 2000;
        std::int64_t max_pages = 0;  // 0: no cap
        std::size_t max_pending = 100000;
        std::chrono::milliseconds retry_after{5000};
    };
    using ProblemHandler = std::function<void(const Problem&)>;

    // Opens the database on the new thread; on_problem is called there.
    HistoryKeeper(Options options, ProblemHandler on_problem);
    // Writes what is queued (one last try), then ends the thread.
    ~HistoryKeeper();
    HistoryKeeper(const HistoryKeeper&) = delete;
    HistoryKeeper& operator=(const HistoryKeeper&) = delete;

    // Queues a line; returns at once. Dropped when the database could not be opened.
    void Append(std::string peer, Record record);
    // Runs body on the keeper's thread with the store (closed when it could not be opened) and
    // the first id of this run: what was kept before it has a smaller id.
    void Run(std::function<void(HistoryStore& store, std::int64_t run_start)> body);
    // Waits until every line and task queued so far has been dealt with; false on time-out.
    bool Flush(std::chrono::milliseconds timeout);

private:
    void Loop();
    void WritePending(std::unique_lock<std::mutex>& lock);

    Options options_;
    ProblemHandler on_problem_;
    HistoryStore store_;
    std::int64_t run_start_ = 1;

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::vector<std::pair<std::string, Record>> pending_;
    std::deque<std::function<void(HistoryStore&, std::int64_t)>> tasks_;
    bool open_failed_ = false;
    bool stopping_ = false;
    bool write_failing_ = false;
    std::uint64_t generation_ = 0;  // grows with every line and task queued
    std::uint64_t done_ = 0;        // the generation dealt with
    std::thread thread_;
};

}  // namespace quorell::keep
