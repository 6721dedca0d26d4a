#pragma once

// Sending one offer to the peer: the offer's messages, the peer's Accept checked, then each
// wanted file streamed from what the peer has of it, on a thread of its own, as fast as the
// pipe takes it, and the peer's verdict on each. No Qt.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "files/offer_builder.h"
#include "files/transfer_pipe.h"
#include "session/file_messages.h"

namespace quorell::files {

// How an offer ended, on either side.
enum class TransferEnd {
    kFinished,         // every wanted file has its verdict (each may still have failed)
    kDeclined,         // the peer declined, or accepted nothing
    kCancelledHere,    // Cancel on this side
    kCancelledByPeer,  // the peer sent Cancel
    kFailed,           // a fault: the peer broke the rules, a file could not be read or
                       // written, the session ended
};

const char* Describe(TransferEnd end);

// What became of one file of an offer the sender sent, as the peer said.
struct SentFile {
    std::uint32_t index = 0;
    bool wanted = false;
    bool answered = false;  // the peer's FileResult came
    session::FileStatus status = session::FileStatus::kCancelled;
    std::string text;              // the peer's, or why it was not sent
    std::uint64_t from = 0;        // where sending started (the peer's resumed bytes)
    std::uint64_t sent_bytes = 0;  // bytes of Data sent for it

    bool ok() const { return answered && status == session::FileStatus::kOk; }
};

struct OutgoingResult {
    TransferEnd end = TransferEnd::kFailed;
    std::string text;             // why, for kDeclined, kCancelled* and kFailed
    std::vector<SentFile> files;  // the wanted ones, in the order they were wanted
    std::uint64_t sent_bytes = 0;
};

struct OutgoingCallbacks {
    // Bytes of file `index` the peer has now (resumed ones included), and of all wanted files.
    // From the transfer's thread.
    std::function<void(std::uint32_t index, std::uint64_t file_bytes, std::uint64_t all_bytes)>
        progress;
    // Once, from the transfer's thread.
    std::function<void(const OutgoingResult&)> ended;
};

class OutgoingTransfer {
public:
    // The offer and the pipe must outlive the transfer.
    OutgoingTransfer(std::uint64_t offer_id, const Offer& offer, ITransferPipe& pipe,
                     OutgoingCallbacks callbacks, std::size_t chunk_bytes = session::kMaxDataBytes);
    ~OutgoingTransfer();  // Cancel, and waits for the thread
    OutgoingTransfer(const OutgoingTransfer&) = delete;
    OutgoingTransfer& operator=(const OutgoingTransfer&) = delete;

    // Starts the thread: the offer goes out, then the transfer waits for the peer's answer.
    void Start();
    // A file message from the peer (from the session's thread). Those of other offers are
    // ignored.
    void OnMessage(const session::FileMessage& message);
    // Ends the offer, telling the peer with `text`. Nothing once it has ended.
    void Cancel(const std::string& text);
    // Waits for the end; true when it ended within `timeout`.
    bool Wait(std::chrono::milliseconds timeout);

    std::uint64_t offer_id() const { return id_; }

private:
    void Run();
    bool SendFile(std::size_t slot);
    void Stop(TransferEnd end, const std::string& text, bool tell_peer);
    bool Stopped() const;

    const std::uint64_t id_;
    const Offer& offer_;
    ITransferPipe& pipe_;
    OutgoingCallbacks callbacks_;
    const std::size_t chunk_bytes_;
    std::thread thread_;

    mutable std::mutex mu_;
    std::condition_variable cv_;
    std::vector<session::WantedFile> wanted_;  // in the order wanted
    std::vector<SentFile> files_;              // same order
    bool accept_done_ = false;
    std::int64_t last_index_ = -1;  // the highest index accepted so far
    bool stop_ = false;
    bool tell_peer_ = false;
    bool ended_ = false;
    TransferEnd end_ = TransferEnd::kFailed;
    std::string end_text_;
    std::uint32_t skip_index_ = UINT32_MAX;  // the peer gave its verdict on this file early
};

}  // namespace quorell::files
