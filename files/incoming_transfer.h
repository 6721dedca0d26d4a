#pragma once

// Receiving one offer from the peer: its messages collected and checked, the owner asked where
// it goes, each file written into a partial file at exactly the offset expected, resumed from
// what an earlier offer left, and saved under its name only when its SHA-256 matches. No Qt.

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "files/file_hash.h"
#include "files/file_sink.h"
#include "files/outgoing_transfer.h"
#include "files/receive_tree.h"
#include "files/transfer_pipe.h"
#include "session/file_messages.h"

namespace quorell::files {

struct IncomingLimits {
    std::uint32_t max_entries = session::kMaxOfferEntries;
    std::uint64_t max_total_bytes = UINT64_MAX;
    // The offer's paths are held until it ends.
    std::uint64_t max_path_bytes = 64 * 1024 * 1024;
};

// What the peer offers, once the whole offer has come and passed the checks.
struct IncomingOffer {
    std::uint64_t offer = 0;
    std::vector<session::OfferEntry> entries;
    std::uint64_t total_bytes = 0;
    std::size_t files = 0;
};

// What became of one file of the offer.
struct ReceivedFile {
    std::uint32_t index = 0;
    std::string path;     // as offered
    bool wanted = false;  // asked for in the Accept (false: skipped, see text)
    bool answered = false;
    session::FileStatus status = session::FileStatus::kCancelled;
    std::string text;        // why it was skipped or failed
    std::string saved_path;  // where it is, when it was saved
    bool resumed = false;    // it went on from what an earlier offer left
    std::uint64_t from = 0;  // where the peer's data started
    std::uint64_t received_bytes = 0;

    bool ok() const { return answered && status == session::FileStatus::kOk; }
};

struct IncomingResult {
    TransferEnd end = TransferEnd::kFailed;
    std::string text;
    std::vector<ReceivedFile> files;         // every file entry of the offer, in its order
    std::vector<std::string> folder_errors;  // offered empty folders that could not be made
};

struct IncomingCallbacks {
    // The offer has come whole: answer it with Accept or Decline (from any thread, this
    // callback included).
    std::function<void(const IncomingOffer&)> offered;
    // Whether a file already at the final name `path` may be replaced; none: never.
    std::function<bool(const std::string& path)> replace;
    // Bytes of file `index` there now, and of all the wanted files.
    std::function<void(std::uint32_t index, std::uint64_t file_bytes, std::uint64_t all_bytes)>
        progress;
    // Once.
    std::function<void(const IncomingResult&)> ended;
};

class IncomingTransfer {
public:
    // The pipe must outlive the transfer.
    IncomingTransfer(ITransferPipe& pipe, IncomingCallbacks callbacks, IncomingLimits limits = {});
    ~IncomingTransfer();
    IncomingTransfer(const IncomingTransfer&) = delete;
    IncomingTransfer& operator=(const IncomingTransfer&) = delete;

    // A file message from the peer, from the session's thread. The first OfferBegin makes this
    // transfer's offer; a second offer meanwhile is declined as busy.
    void OnMessage(const session::FileMessage& message);

    // Takes the offer into `folder`: what is there already of each file is resumed, final names
    // taken are skipped unless the owner lets them be replaced. false with `error` set when the
    // folder cannot be used (the offer is still open: another folder, or Decline).
    bool Accept(const std::string& folder, std::string& error);
    void Decline(session::DeclineReason reason, const std::string& text);
    // Ends the offer, telling the peer. Nothing once it has ended.
    void Cancel(const std::string& text);

    // Waits for the end; true when it ended within `timeout`.
    bool Wait(std::chrono::milliseconds timeout);
    bool Ended() const;

private:
    enum class State { kIdle, kCollecting, kOffered, kAccepting, kReceiving, kOver };
    // A wanted file.
    struct Slot {
        std::uint32_t index = 0;
        std::int32_t file = 0;  // in files_
        std::uint64_t size = 0;
        std::uint64_t have = 0;  // what the Accept said was there
        session::Sha256 prefix{};
        bool replace = false;
        bool answered = false;
        // The hash of the `have` bytes, going on over the rest, and when the partial file was
        // last changed as they were read (a change since means they are read again).
        std::shared_ptr<Sha256> prefix_hash;
        std::int64_t changed_sec = 0;
        std::int64_t changed_nsec = 0;
    };
    // What a step decided, done once the lock is let go: messages to the peer and the owner's
    // callbacks.
    struct Actions {
        std::vector<session::FileMessage> send;
        std::vector<std::tuple<std::uint32_t, std::uint64_t, std::uint64_t>> progress;
        std::optional<IncomingOffer> offered;
        std::optional<IncomingResult> ended;
    };

    void HandleLocked(const session::FileMessage& message, Actions& actions);
    void OnData(const session::Data& data, Actions& actions);
    void OnFileDone(const session::FileDone& done, Actions& actions);
    // The hash of the current file from the `have` bytes the peer resumes after; false with
    // `error` set when they cannot be read again.
    bool ResumeHash(Slot& slot, std::string& error);
    void HandOver();
    void CloseFile();
    Slot* Wanted(std::uint32_t index, const char* what, Actions& actions);
    void Answer(Slot& slot, session::FileStatus status, std::string text, Actions& actions);
    void Fault(const std::string& text, Actions& actions);
    void DeclineLocked(session::DeclineReason reason, const std::string& text, TransferEnd end,
                       Actions& actions);
    void EndLocked(TransferEnd end, std::string text, Actions& actions);
    void Run(Actions& actions);  // what was decided, outside the lock

    ITransferPipe& pipe_;
    IncomingCallbacks callbacks_;
    const IncomingLimits limits_;

    mutable std::mutex mu_;
    std::condition_variable cv_;
    State state_ = State::kIdle;
    bool over_told_ = false;  // the end callback has been given
    std::uint64_t id_ = 0;
    std::uint32_t entry_count_ = 0;
    std::uint64_t total_bytes_ = 0;
    std::uint64_t path_bytes_ = 0;
    std::vector<session::OfferEntry> entries_;
    std::string folder_;
    std::unique_ptr<ReceiveTree> tree_;
    std::vector<ReceivedFile> files_;  // one per file entry
    std::vector<std::string> folder_errors_;
    std::vector<std::int32_t> file_of_entry_;  // entry index -> files_ index, or -1
    std::vector<Slot> slots_;                  // the wanted files, in the order wanted
    std::vector<std::int32_t> slot_of_entry_;  // entry index -> slots_ index, or -1
    std::int32_t current_ = -1;                // the slot being written
    PartFile part_;                            // the current file while it is opened and checked
    Sha256 hash_;                              // of what it holds then
    std::unique_ptr<FileSink> sink_;  // the current file from then on, written on its thread
    std::uint64_t queued_ = 0;        // the current file's bytes, those still queued included
    std::size_t unanswered_ = 0;
    std::uint64_t all_bytes_ = 0;
};

}  // namespace quorell::files
