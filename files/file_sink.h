#pragma once

// The receiving side's writes of one partial file at a time, on a thread of their own: each
// piece copied into a bounded queue, appended and hashed there, so that the session's thread
// goes on reading the stream meanwhile. No Qt.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "files/file_hash.h"
#include "files/receive_tree.h"

namespace quorell::files {

class FileSink {
public:
    explicit FileSink(std::size_t max_queued_bytes = 4 * 1024 * 1024);
    ~FileSink();  // drops what is queued and waits for the thread
    FileSink(const FileSink&) = delete;
    FileSink& operator=(const FileSink&) = delete;

    // Takes `part`, open where writing goes on, and the hash of what it holds already. What
    // the sink held before is dropped.
    void Begin(PartFile part, Sha256 hash);
    // Queues a copy of `bytes` to append, waiting while the queue is full. false with `error`
    // set once a write has failed (nothing more is written then).
    bool Write(std::string_view bytes, Outcome& error);
    // Waits for what is queued, closes the part and gives the first write error, or the digest
    // of everything the file holds.
    Outcome Finish(Sha256Digest& digest);
    // Writes what is queued (drops it once a write has failed), then closes the part.
    void Abort();

private:
    void Run();
    void DropLocked();

    const std::size_t max_queued_bytes_;
    std::mutex mu_;
    std::condition_variable cv_;
    std::deque<std::string> queue_;
    std::size_t queued_bytes_ = 0;
    std::vector<std::string> spare_;  // memory of pieces written, for the next ones
    bool writing_ = false;            // the thread has a piece: part_ and hash_ are its own
    bool stop_ = false;
    Outcome error_;
    PartFile part_;
    Sha256 hash_;
    std::thread thread_;  // started by the first Begin
};

}  // namespace quorell::files
