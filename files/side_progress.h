#pragma once

// How far one direction of a session's files is, kept from what goes by: the offer's entries,
// the Accept (which files, and what the receiver had of each), the first bytes of each file and
// the transfers' progress, and each file's verdict. Cheap to keep (one short lock a step) and to
// read a few times a second. Every step names its offer: steps of another offer are ignored.
// No Qt.

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "files/session_files.h"
#include "session/file_messages.h"

namespace quorell::files {

class SideProgress {
public:
    using Entries = std::shared_ptr<const std::vector<session::OfferEntry>>;

    // A new offer: `active` when it counts as moving from now on (an outgoing one), else from
    // its Accept.
    void Begin(std::uint64_t offer, Entries entries, bool active);
    // The offer is over: nothing is active until the next Begin.
    void End(std::uint64_t offer);
    // This side's offers waiting behind the one in progress.
    void SetQueued(std::size_t queued);

    // The files of an Accept are wanted (and the offer active).
    void Wanted(const session::Accept& accept);
    // The receiving side's sight of a file: its first Data (at its offset) or, when no Data
    // came, its FileDone (from what the Accept said was there).
    void Arrived(std::uint64_t offer, std::uint32_t index, const std::uint64_t* offset);
    // The transfer's own count: `file_bytes` of file `index` there now, `all_bytes` of all.
    // The sender's first step of a file is at its resume point, which starts it moving.
    void Bytes(std::uint64_t offer, std::uint32_t index, std::uint64_t file_bytes,
               std::uint64_t all_bytes, bool first_step_starts);
    // File `index` has its verdict.
    void Answered(std::uint64_t offer, std::uint32_t index);

    TransferProgress Get() const;

private:
    enum : std::uint8_t { kNotWanted, kWanted, kAnswered };
    bool Mine(std::uint64_t offer) const { return p_.offer == offer && offer != 0 && entries_; }
    void MovingLocked(std::uint32_t index, std::uint64_t from);

    mutable std::mutex mu_;
    TransferProgress p_;
    Entries entries_;
    std::vector<std::uint8_t> state_;  // per entry
    std::vector<std::uint64_t> have_;  // per entry: what the Accept said was there
    std::int64_t current_ = -1;        // the entry last started
};

}  // namespace quorell::files
